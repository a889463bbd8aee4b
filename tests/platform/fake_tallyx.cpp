// Stands in for a running Tallyx: does nothing for two minutes, so a test that stops
// early never leaves it behind for long.
#include <windows.h>

int main() {
  Sleep(120000);
  return 7;
}
