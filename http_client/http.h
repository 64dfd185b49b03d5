// THTTP, the web client behind Velmora32.HTTP: every member as a C++
// operation on C++ types. Failures are exceptions carrying the component's
// messages; the automation layer only converts types and calls through.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/errors.h"
#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

VELMORA_DECLARE_EXCEPTION(EHTTPError, Exception);

class THTTP {
 public:
  THTTP();  // Initialize: the defaults of a fresh object
  ~THTTP();
  THTTP(const THTTP&) = delete;
  THTTP& operator=(const THTTP&) = delete;

  int32_t HTTPTimeout() const;
  void SetHTTPTimeout(int32_t value);
  ustring Username() const;
  void SetUsername(const ustring& value);
  ustring Password() const;
  void SetPassword(const ustring& value);
  ustring ReturnFile() const;
  int32_t ReturnCode() const;
  ustring TagName() const;
  void SetTagName(const ustring& value);
  ustring RequestMethod() const;
  void SetRequestMethod(const ustring& value);
  ustring UserAgent() const;
  void SetUserAgent(const ustring& value);
  ustring DebugHTTP() const;

  void AddFormVar(const ustring& Name, const ustring& Value);
  void ClearFormVars();

  bool UploadFile(const ustring& URL, const ustring& FileName);
  // Data: the bytes of a one-byte-element array (the automation layer rejects
  // any other variant with EVariantInvalidArgError).
  bool UploadData(const ustring& URL, ByteSpan Data, const ustring& Name);
  void DownloadFile(const ustring& URL, const ustring& FileName);
  std::vector<uint8_t> DownloadData(const ustring& URL);
  ustring VariantToString(ByteSpan InVar) const;

 private:
  // Fields and private routines are the implementation's; see http.cpp.
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velmora
