#pragma once
#include <string>

namespace tallyx {

// The full path of the running program's own file.
std::u16string ExecutablePath();

}  // namespace tallyx
