#include "zip/changed_entries.h"
