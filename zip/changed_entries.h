#pragma once
#include "controller/operations/changed_entries.h"
