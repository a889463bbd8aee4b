#include "base/errors.h"

#include "base/text.h"

namespace tallyx {

Exception::Exception(std::u16string message)
    : message_(std::move(message)), what_(EncodeUtf8(message_)) {}

}  // namespace tallyx
