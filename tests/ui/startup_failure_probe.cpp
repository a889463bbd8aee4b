// A program whose start-up fails the way a refused single-instance guard makes it fail:
// the window is being created when the error arises.
#include <windows.h>

#include "app/startup.h"
#include "base/errors.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return tallyx::RunApplication([](tallyx::Application&, tallyx::ui::TMaster&) -> std::unique_ptr<tallyx::ui::MasterHandlers> {
    throw tallyx::EBaseEnabledFailed(u"Another instance of the application is started");
  });
}
