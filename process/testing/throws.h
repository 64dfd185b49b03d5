// Checks that a call fails with exactly the given exception class and message.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "base/errors.h"

namespace velmora::testing {

template <class Expected, class Call>
::testing::AssertionResult Throws(Call&& call, const std::string& message) {
  try {
    call();
  } catch (const Exception& e) {
    if (typeid(e) != typeid(Expected))
      return ::testing::AssertionFailure() << "threw " << typeid(e).name() << ": " << e.what();
    if (e.what() != message) return ::testing::AssertionFailure() << "message: " << e.what();
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "nothing thrown";
}

}  // namespace velmora::testing
