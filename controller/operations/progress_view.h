#pragma once
#include <string>

namespace tallyx {

// What the download's progress callback drives on the main window.
class ProgressView {
 public:
  virtual ~ProgressView() = default;
  virtual void SetProgressMax(double max) = 0;
  virtual void SetProgressPosition(double position) = 0;
  virtual void RepaintProgress() = 0;  // draws the bar before returning
  virtual void SetCaption(const std::u16string& caption) = 0;
  virtual void ProcessMessages() = 0;  // handles every pending message, then returns
};

}  // namespace tallyx
