#pragma once
// No C++ exception may unwind through the system's own frames: in the i686 build an
// exception leaving a window procedure through DispatchMessageW ends the process. Every
// window procedure, dialog procedure and enumeration callback of the program catches
// whatever its body raises and hands it to the application's error handling here;
// Guarded does both for the callbacks that need nothing more.
#include <exception>

namespace tallyx::ui {

class CallbackErrors {
 public:
  virtual ~CallbackErrors() = default;
  // An error caught in a callback; the callback then returns its neutral result.
  virtual void Caught(std::exception_ptr error) noexcept = 0;
};

// The handler of the process: the application object, while it lives. Without one, an
// error caught in a callback is dropped, as there is nowhere left to show it.
void SetCallbackErrors(CallbackErrors* handler);
void HandCallbackError(std::exception_ptr error) noexcept;

template <typename Result, typename Body>
Result Guarded(Result neutral, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    HandCallbackError(std::current_exception());
    return neutral;
  }
}

}  // namespace tallyx::ui
