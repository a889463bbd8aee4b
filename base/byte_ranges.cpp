#include "base/byte_ranges.h"
