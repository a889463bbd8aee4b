#include "zip/release_index.h"
