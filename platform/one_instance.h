#pragma once
// Single-instance guard: a named 16-byte shared-memory record claimed by the first
// copy; a later copy finds it and asks its application to end.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/lines.h"
#include "platform/scoped_handle.h"

namespace tallyx {

// What the guard needs from the GUI runtime around it.
class OneInstanceHost {
 public:
  virtual ~OneInstanceHost() = default;
  virtual HWND ApplicationWindow() = 0;
  // The application's main window if it has one, else the window of the form that
  // owns the guard (created on demand), else NULL.
  virtual HWND MainWindowHandle() = 0;
  virtual void Terminate() = 0;                        // Application.Terminate
  virtual void ReportError(const Exception& error) = 0;  // default error report
  virtual std::vector<std::u16string> CommandLineArguments() = 0;  // argument 0 first
};

// The shared record, exactly as it lies in the block.
struct InstanceRecord {
  uint32_t hInst;
  uint32_t hAppWin;
  uint32_t hMainWin;
  uint32_t hMsgWin;
};
static_assert(sizeof(InstanceRecord) == 16);

// The answer a first copy gives to the parameter text of a later copy.
inline constexpr LRESULT kInstanceRunAnswer = 1458;

// A component that owns a hidden message window while it is enabled.
class TElBaseComponent {
 public:
  explicit TElBaseComponent(OneInstanceHost& host) : host_(host) {}
  virtual ~TElBaseComponent() = default;
  TElBaseComponent(const TElBaseComponent&) = delete;
  TElBaseComponent& operator=(const TElBaseComponent&) = delete;

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value) { WriteEnabled(value); }

  // While the owning window is being loaded, setting Enabled only records the value;
  // Loaded() then applies it.
  void BeginLoading() { loading_ = true; }
  void Loaded();

  HWND Handle() const { return FHandle.get(); }

 protected:
  virtual LRESULT MessageWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void WriteEnabled(bool value);
  virtual void ApplyEnabled(bool value);
  // The component's handlers by message number; false for a message it has none for.
  virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

  OneInstanceHost& host_;

 private:
  struct WindowDestroyer {
    // Unbound first: the messages of its destruction reach no half-destroyed component.
    void operator()(HWND window) const {
      ::SetWindowLongPtrW(window, GWLP_USERDATA, 0);
      ::DestroyWindow(window);
    }
  };
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam);

  std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer> FHandle;
  bool FEnabled = false;
  bool loading_ = false;
};

class TElOneInstance;

// Called in a later copy; setting Switch sends the command line to the first copy and
// brings it forward.
using TExistsEvent = std::function<void(TElOneInstance& sender, uint32_t hPrevInst,
                                        uint32_t hPrevAppWin, uint32_t hPrevMainWin,
                                        bool& Switch)>;
// Called in the first copy with the lines a later copy sent.
using TInstanceRunEvent =
    std::function<void(TElOneInstance& sender, const std::vector<std::u16string>& parameters)>;

class TElOneInstance : public TElBaseComponent {
 public:
  explicit TElOneInstance(OneInstanceHost& host) : TElBaseComponent(host) {}
  ~TElOneInstance() override;

  const std::u16string& MapName() const { return FMapName; }
  void SetMapName(std::u16string name) { FMapName = std::move(name); }
  bool NoAutoTerminate() const { return FNoAutoTerminate; }
  void SetNoAutoTerminate(bool value) { FNoAutoTerminate = value; }

  uint32_t PrevInstance() const { return FPrevInst; }
  uint32_t FPrevAppWindow() const { return FPrevAppWin; }
  uint32_t FPrevMainWindow() const { return FPrevMainWin; }

  TExistsEvent OnExists;
  TInstanceRunEvent OnInstanceRun;

 protected:
  void WriteEnabled(bool value) override;
  void ApplyEnabled(bool value) override;
  bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  virtual void NotifyExists(uint32_t hPrevInst, uint32_t hPrevAppWin, uint32_t hPrevMainWin,
                            bool& Switch);
  virtual void NotifyInstanceRun(const std::vector<std::u16string>& parameters);

 private:
  void RegisterInstance();
  void SendParameters(const InstanceRecord& first);

  ScopedHandle FMapHandle;
  uint32_t FPrevInst = 0;
  uint32_t FPrevAppWin = 0;
  uint32_t FPrevMainWin = 0;
  std::u16string FMapName;
  bool FNoAutoTerminate = false;
};

}  // namespace tallyx
