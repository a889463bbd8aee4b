#pragma once
#include <stdexcept>
#include <string>

namespace tallyx::publish {

// A failure the tool reports to the vendor and ends with; the text says what to fix.
class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tallyx::publish
