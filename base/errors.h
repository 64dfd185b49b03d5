// The exception classes that carry the component's messages. Every failure
// inside the objects is an Exception; the automation layer turns it into an
// HRESULT and error information at the member boundary. Each folder declares
// its own exceptions beside the code that raises them (the stream errors in
// io/stream.h, the string list's in text/stringlist.h, the upload's in
// process/upload_error.h, ...); here is only what several folders share.
//
// A failure of the operating system carries the system's code in one of three
// kinds, each where the code's reader needs it:
//   - a Win32 error code (GetLastError) in EStreamError::systemCode(), where a
//     file stream failed, for callers that tell one cause from another (a
//     staging name someone else took); scripts see E_UNEXPECTED and the message;
//   - an HRESULT in ESystemError::errorCode(), for calls that report one (COM,
//     the host's objects): the member boundary returns it as the call's result;
//   - the runtime's I/O code in EInOutError::code() (process/fileops.h),
//     for the text file of AppendToFile: a Win32 code, or the runtime's own
//     (101, a disk write error), whose table gives the message.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "base/ustring.h"

namespace velmora {

using HRESULT_t = int32_t;

// The general exception: a message and a help context.
class Exception : public std::exception {
 public:
  explicit Exception(ustring message, int helpContext = 0);
  const ustring& message() const noexcept { return message_; }
  int helpContext() const noexcept { return helpContext_; }
  const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  ustring message_;
  std::string utf8_;
  int helpContext_;
};

#define VELMORA_DECLARE_EXCEPTION(Name, Base) \
  class Name : public Base {                  \
   public:                                    \
    using Base::Base;                         \
  }

// A call into the system that failed: its HRESULT travels beside the text,
// and the member boundary hands it to the caller as the call's result.
class ESystemError : public Exception {
 public:
  ESystemError(ustring message, HRESULT_t errorCode, int helpContext = 0)
      : Exception(std::move(message), helpContext), errorCode_(errorCode) {}
  HRESULT_t errorCode() const noexcept { return errorCode_; }

 private:
  HRESULT_t errorCode_;
};

}  // namespace velmora
