// The exceptions that carry the system's messages.
#include <gtest/gtest.h>

#include "base/errors.h"

using namespace velmora;

TEST(Errors, MessagesOfTheRuntime) {
  EXPECT_EQ(EInOutError(2).message(), u"The specified file was not found");
  EXPECT_EQ(EInOutError(3).message(), u"Invalid file name - %s");
  EXPECT_EQ(EInOutError(5).message(), u"File access denied");
  EXPECT_EQ(EInOutError(32).message(), u"I/O error 32");
  EXPECT_EQ(EFCreateError(u"C:\\x\\a.txt", u"Access denied").message(),
            u"Cannot create file \"C:\\x\\a.txt\". Access denied");
  EXPECT_EQ(EWriteError().message(), u"Stream write error");
  EXPECT_EQ(EVariantInvalidArgError().message(), u"Invalid argument");
  ESystemError denied(u"failed", static_cast<HRESULT_t>(0x80070005));
  EXPECT_EQ(denied.errorCode(), static_cast<HRESULT_t>(0x80070005));
  EXPECT_STREQ(Exception(u"caf\u00e9").what(), "caf\xC3\xA9");
}
