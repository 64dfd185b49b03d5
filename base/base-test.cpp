// The exceptions every folder shares.
#include <gtest/gtest.h>

#include "base/errors.h"

using namespace velmora;

TEST(Errors, MessagesAndSystemCodes) {
  ESystemError denied(u"failed", static_cast<HRESULT_t>(0x80070005));
  EXPECT_EQ(denied.errorCode(), static_cast<HRESULT_t>(0x80070005));
  EXPECT_STREQ(Exception(u"caf\u00e9").what(), "caf\xC3\xA9");
}
