#pragma once
// The program's error classes. Each carries the class name that the error reports
// show and a UTF-16 message; the hierarchy mirrors the layers that raise them.
#include <cstdint>
#include <exception>
#include <string>

namespace tallyx {

class Exception : public std::exception {
 public:
  explicit Exception(std::u16string message);
  ~Exception() override = default;

  const std::u16string& Message() const noexcept { return message_; }
  virtual const char16_t* ClassName() const noexcept { return u"Exception"; }
  // UTF-8 copy of the message, for diagnostics and test output.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::u16string message_;
  std::string what_;
};

#define TALLYX_DECLARE_EXCEPTION(Name, Base)                              \
  class Name : public Base {                                              \
   public:                                                                \
    using Base::Base;                                                     \
    const char16_t* ClassName() const noexcept override { return u"" #Name; } \
  }

// Conversions and text.
TALLYX_DECLARE_EXCEPTION(EConvertError, Exception);
TALLYX_DECLARE_EXCEPTION(EEncodingError, Exception);
TALLYX_DECLARE_EXCEPTION(EListError, Exception);

// Streams and files.
TALLYX_DECLARE_EXCEPTION(EStreamError, Exception);
TALLYX_DECLARE_EXCEPTION(EFileStreamError, EStreamError);
TALLYX_DECLARE_EXCEPTION(EFOpenError, EFileStreamError);
TALLYX_DECLARE_EXCEPTION(EFCreateError, EFileStreamError);
TALLYX_DECLARE_EXCEPTION(EReadError, EStreamError);
TALLYX_DECLARE_EXCEPTION(EWriteError, EStreamError);

// Archives and compression.
TALLYX_DECLARE_EXCEPTION(EZipException, Exception);
TALLYX_DECLARE_EXCEPTION(EZLibError, Exception);
TALLYX_DECLARE_EXCEPTION(EZDecompressionError, EZLibError);

// Paths.
TALLYX_DECLARE_EXCEPTION(EArgumentException, Exception);
TALLYX_DECLARE_EXCEPTION(ENotSupportedException, Exception);
TALLYX_DECLARE_EXCEPTION(EPathTooLongException, Exception);
TALLYX_DECLARE_EXCEPTION(EInOutError, Exception);
TALLYX_DECLARE_EXCEPTION(EDirectoryNotFoundException, EInOutError);
TALLYX_DECLARE_EXCEPTION(EFileNotFoundException, EInOutError);

// Single-instance guard refusing a second copy.
TALLYX_DECLARE_EXCEPTION(EBaseEnabledFailed, Exception);

// An operating-system failure; carries the system's error code.
class EOSError : public Exception {
 public:
  EOSError(std::u16string message, uint32_t errorCode)
      : Exception(std::move(message)), errorCode_(errorCode) {}
  const char16_t* ClassName() const noexcept override { return u"EOSError"; }
  uint32_t ErrorCode() const noexcept { return errorCode_; }

 private:
  uint32_t errorCode_;
};

}  // namespace tallyx
