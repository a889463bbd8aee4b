#include "base/errors.h"

#include <gtest/gtest.h>

namespace tallyx {
namespace {

TEST(Errors, ClassNamesAndHierarchy) {
  const struct {
    const Exception& error;
    std::u16string className;
  } cases[] = {
      {EConvertError(u"m"), u"EConvertError"},
      {EFOpenError(u"m"), u"EFOpenError"},
      {EFCreateError(u"m"), u"EFCreateError"},
      {EReadError(u"m"), u"EReadError"},
      {EZipException(u"m"), u"EZipException"},
      {EZDecompressionError(u"m"), u"EZDecompressionError"},
      {EDirectoryNotFoundException(u"m"), u"EDirectoryNotFoundException"},
      {EOSError(u"m", 2), u"EOSError"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::u16string(c.error.ClassName()), c.className);
    EXPECT_EQ(c.error.Message(), u"m");
  }
  EXPECT_THROW(throw EFCreateError(u"x"), EStreamError);
  EXPECT_THROW(throw EZDecompressionError(u"x"), EZLibError);
  EXPECT_THROW(throw EFileNotFoundException(u"x"), EInOutError);
}

TEST(Errors, WhatIsTheUtf8Message) {
  EXPECT_STREQ(EConvertError(u"'\u00E9' is not").what(), "'\xC3\xA9' is not");
  EXPECT_EQ(EOSError(u"x", 183).ErrorCode(), 183u);
}

}  // namespace
}  // namespace tallyx
