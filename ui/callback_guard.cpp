#include "ui/callback_guard.h"

namespace tallyx::ui {
namespace {
CallbackErrors* handler_ = nullptr;
}

void SetCallbackErrors(CallbackErrors* handler) { handler_ = handler; }

void HandCallbackError(std::exception_ptr error) noexcept {
  if (handler_) handler_->Caught(std::move(error));
}

}  // namespace tallyx::ui
