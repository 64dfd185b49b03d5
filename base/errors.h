// The exception classes that carry the component's messages. Every failure
// inside the objects is one of these; the automation layer turns them into
// HRESULTs and error information at the member boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include "base/ustring.h"

namespace velmora {

using HRESULT_t = int32_t;
constexpr HRESULT_t kEUnexpected = static_cast<HRESULT_t>(0x8000FFFF);

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

// "List index out of bounds (%d)"
class EStringListError : public Exception {
 public:
  using Exception::Exception;
  static EStringListError indexOutOfBounds(int index);
};

// A failed read, write, creation or opening. When the system refused, its
// error code travels beside the message (0 otherwise).
class EStreamError : public Exception {
 public:
  explicit EStreamError(ustring message, uint32_t systemCode = 0)
      : Exception(std::move(message)), systemCode_(systemCode) {}
  uint32_t systemCode() const noexcept { return systemCode_; }

 private:
  uint32_t systemCode_;
};

// "Stream read error"
class EReadError : public EStreamError {
 public:
  EReadError();
};

// "Stream write error" (a full disk, for one).
class EWriteError : public EStreamError {
 public:
  explicit EWriteError(uint32_t systemCode = 0);
};

// "Cannot create file "%s". %s": the full path and the system's error text.
class EFCreateError : public EStreamError {
 public:
  EFCreateError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode = 0);
};

// "Cannot open file "%s". %s": the full path and the system's error text.
class EFOpenError : public EStreamError {
 public:
  EFOpenError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode = 0);
};

// An I/O error of a text file, with the messages of the runtime's code table.
class EInOutError : public Exception {
 public:
  explicit EInOutError(int code);
  int code() const noexcept { return code_; }
  static ustring messageFor(int code);

 private:
  int code_;
};

// "Invalid argument": a variant that holds no usable array.
class EVariantInvalidArgError : public Exception {
 public:
  EVariantInvalidArgError();
};

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
