#include "app/startup.h"

#include <cstdint>

#include "base/text.h"
#include "platform/win_text.h"
#include "ui/app_text.h"

namespace tallyx {

void ReportStartupFailure(const Exception& error) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  // The address has no meaning outside this build; the entry of the start-up stands for it.
  auto address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&RunApplication));
  std::u16string text = ui::StartupFailureText(error.ClassName(), ui::FileNameOf(FromW(path)), address,
                                               error.Message());
  MessageBoxW(nullptr, W(text), L"Application Error", MB_OK | MB_ICONERROR | MB_TASKMODAL);
}

int RunApplication(const Assemble& assemble) {
  std::unique_ptr<Application> app;
  std::unique_ptr<ui::TMaster> master;
  std::unique_ptr<ui::MasterHandlers> handlers;
  try {
    app = std::make_unique<Application>(GetModuleHandleW(nullptr));
    master = std::make_unique<ui::TMaster>(*app);
    handlers = assemble(*app, *master);
    master->Connect(*handlers);
    app->SetMainWindow(master->Handle());
  } catch (const Exception& error) {
    ReportStartupFailure(error);
    return 1;
  } catch (const std::exception& error) {
    ReportStartupFailure(Exception(U16(error.what())));
    return 1;
  }
  int code = app->Run();
  handlers.reset();
  master.reset();
  return code;
}

}  // namespace tallyx
