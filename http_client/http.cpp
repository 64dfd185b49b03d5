#include "http_client/http.h"

#include <cstdint>

#include "http_client/form_variables.h"
#include "http_client/transfer.h"
#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"
#include "text/textconv.h"

namespace velmora {

struct THTTP::State {
  int32_t FHTTPTimeOut = 30;  // seconds, downloads only
  ustring FUserName;
  ustring FPassword;
  TRequestMethod FRequestMethod = rmGet;
  ustring FReturnFile;    // start of the last upload's answer
  uint32_t FReturnCode = 0;
  ustring FTagName;
  ustring FUserAgent;     // empty: no User-Agent header of ours
  TFormVariables FFormVariables;
  ustring DebugHTTP;      // nothing writes it
};

THTTP::THTTP() : s_(std::make_unique<State>()) {}
THTTP::~THTTP() = default;

int32_t THTTP::HTTPTimeout() const { return s_->FHTTPTimeOut; }
void THTTP::SetHTTPTimeout(int32_t value) { s_->FHTTPTimeOut = value; }
ustring THTTP::Username() const { return s_->FUserName; }
void THTTP::SetUsername(const ustring& value) { s_->FUserName = value; }
ustring THTTP::Password() const { return s_->FPassword; }
void THTTP::SetPassword(const ustring& value) { s_->FPassword = value; }
ustring THTTP::ReturnFile() const { return s_->FReturnFile; }
int32_t THTTP::ReturnCode() const { return static_cast<int32_t>(s_->FReturnCode); }
ustring THTTP::TagName() const { return s_->FTagName; }
void THTTP::SetTagName(const ustring& value) { s_->FTagName = value; }
ustring THTTP::UserAgent() const { return s_->FUserAgent; }
void THTTP::SetUserAgent(const ustring& value) { s_->FUserAgent = value; }
ustring THTTP::DebugHTTP() const { return s_->DebugHTTP; }

ustring THTTP::RequestMethod() const { return s_->FRequestMethod == rmGet ? u"GET" : u"POST"; }

void THTTP::SetRequestMethod(const ustring& value) {
  s_->FRequestMethod = asciiUpper(value) == u"POST" ? rmPost : rmGet;
}

void THTTP::AddFormVar(const ustring& Name, const ustring& Value) {
  if (!Name.empty()) s_->FFormVariables.add(Name, Value);
}

void THTTP::ClearFormVars() { s_->FFormVariables.clear(); }

namespace {

// Blanks and control characters (U+0000 to U+0020) removed from both ends.
ustring trimmed(const ustring& text) {
  size_t first = 0, last = text.size();
  while (first < last && text[first] <= u' ') ++first;
  while (last > first && text[last - 1] <= u' ') --last;
  return text.substr(first, last - first);
}

}  // namespace

bool THTTP::UploadFile(const ustring& URL, const ustring& FileName) {
  if (!IsExistingFile(FileName)) throw EHTTPError(u"File not found: " + FileName);
  TMemoryStream data;
  try {
    TFileStream file(FileName, TFileStream::Mode::OpenRead);  // writers are shut out
    // Beyond what memory can address, the size would wrap and send a stump.
    if (file.size() > static_cast<int64_t>(PTRDIFF_MAX)) throw EReadError();
    data.setSize(static_cast<size_t>(file.size()));
    file.readBuffer(data.data(), static_cast<size_t>(data.size()));
  } catch (...) {
    throw EHTTPError(u"Error reading file: " + FileName);
  }
  return UploadData(URL, ByteSpan{data.data(), static_cast<size_t>(data.size())},
                    AfterLastSeparator(FileName, kScriptSeparators));
}

// A failed upload is a false result, whatever failed.
bool THTTP::UploadData(const ustring& URL, ByteSpan Data, const ustring& Name) {
  try {
    return PostMultipart(URL, s_->FFormVariables, Data, Name, s_->FTagName, s_->FUserName,
                         s_->FPassword, s_->FUserAgent, s_->FReturnCode, s_->FReturnFile);
  } catch (...) {
    return false;
  }
}

void THTTP::DownloadFile(const ustring& URL, const ustring& FileName) {
  TMemoryStream body;
  uint32_t status = 0;
  try {
    RequestURL(URL, s_->FUserName, s_->FPassword, s_->FUserAgent, s_->FRequestMethod,
               s_->FFormVariables, s_->FHTTPTimeOut, body, status);
  } catch (...) {
    throw EHTTPError(u"Error downloading file at: " + URL);
  }
  // Whatever the status: an error page is saved like any other body. No
  // answer at all (status 0) keeps the file that was there, so that a server
  // that is down costs no one yesterday's copy; where there was none, an
  // empty one is made for the scripts that go on to open it.
  s_->FReturnCode = status;
  // Written beside the target first: a failure part-way (disk full) leaves
  // the file that was there as it was.
  try {
    TStagedFile file(FileName);
    file.write(body.data(), static_cast<size_t>(body.size()));
    if (status == 0)
      file.commitIfFree(FileName);
    else
      file.commitReplacing(FileName);
  } catch (...) {
    throw EHTTPError(u"Error saving file to: " + FileName);
  }
}

std::vector<uint8_t> THTTP::DownloadData(const ustring& URL) {
  TMemoryStream body;
  uint32_t status = 0;
  bool ok = false;
  try {
    ok = RequestURL(trimmed(URL), s_->FUserName, s_->FPassword, s_->FUserAgent,
                    s_->FRequestMethod, s_->FFormVariables, s_->FHTTPTimeOut, body, status);
  } catch (...) {
  }
  if (!ok) throw EHTTPError(u"Error reading remote file.");
  return std::vector<uint8_t>(body.data(), body.data() + body.size());
}

ustring THTTP::VariantToString(ByteSpan InVar) const {
  if (InVar.size == 0) return {};
  return DecodeUtf8OrAnsi(InVar.data, InVar.size);
}

}  // namespace velmora
