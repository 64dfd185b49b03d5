#include "http_client/http.h"

#include <cstdint>
#include <memory>

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

namespace {

// A download's body as the bytes DownloadData returns: held once, grown as
// it arrives.
class TByteSink final : public TStream {
 public:
  int64_t size() const override { return static_cast<int64_t>(bytes.size()); }
  int64_t position() const override { return size(); }
  void seek(int64_t) override { throw EReadError(); }
  size_t read(void*, size_t) override { throw EReadError(); }
  void write(const void* buffer, size_t count) override {
    const auto* first = static_cast<const uint8_t*>(buffer);
    bytes.insert(bytes.end(), first, first + count);
  }

  std::vector<uint8_t> bytes;
};

// A body nobody keeps: the status of a download whose file cannot be made.
class TDiscardingSink final : public TStream {
 public:
  int64_t size() const override { return 0; }
  int64_t position() const override { return 0; }
  void seek(int64_t) override {}
  size_t read(void*, size_t) override { return 0; }
  void write(const void*, size_t) override {}
};

}  // namespace

void THTTP::DownloadFile(const ustring& URL, const ustring& FileName) {
  const EHTTPError savingFailed(u"Error saving file to: " + FileName);
  // The body goes straight to a file beside the target, which takes the
  // target's place only once the whole answer came: a failure part-way (no
  // answer, an answer cut short, disk full) leaves the file that was there
  // as it was.
  // Where no file can be made (a missing folder), the request still goes,
  // for its status.
  std::shared_ptr<TStagedFile> staged;
  try {
    staged = std::make_shared<TStagedFile>(FileName);
  } catch (...) {
  }
  uint32_t status = 0;
  try {
    RequestURL(URL, s_->FUserName, s_->FPassword, s_->FUserAgent, s_->FRequestMethod,
               s_->FFormVariables, s_->FHTTPTimeOut,
               staged ? std::shared_ptr<TStream>(staged) : std::make_shared<TDiscardingSink>(),
               status);
  } catch (const EStreamError&) {
    s_->FReturnCode = status;
    throw savingFailed;
  } catch (...) {
    s_->FReturnCode = status;
    throw EHTTPError(u"Error downloading file at: " + URL);
  }
  // Whatever the status: an error page is saved like any other body. No
  // answer at all (status 0) keeps the file that was there, so that a server
  // that is down costs no one yesterday's copy; where there was none, an
  // empty one is made for the scripts that go on to open it. The staging
  // file of a transfer given up on may still be written: it is left to that
  // transfer, which deletes it.
  s_->FReturnCode = status;
  if (!staged) throw savingFailed;
  try {
    if (status == 0) {
      staged.reset();
      TStagedFile(FileName).commitIfFree(FileName);
      return;
    }
    staged->commitReplacing(FileName);
  } catch (...) {
    throw savingFailed;
  }
}

std::vector<uint8_t> THTTP::DownloadData(const ustring& URL) {
  auto body = std::make_shared<TByteSink>();
  uint32_t status = 0;
  bool ok = false;
  try {
    ok = RequestURL(trimmed(URL), s_->FUserName, s_->FPassword, s_->FUserAgent,
                    s_->FRequestMethod, s_->FFormVariables, s_->FHTTPTimeOut, body, status);
  } catch (...) {
  }
  if (!ok) throw EHTTPError(u"Error reading remote file.");
  // The transfer has ended: its thread writes no more.
  return std::move(body->bytes);
}

ustring THTTP::VariantToString(ByteSpan InVar) const {
  if (InVar.size == 0) return {};
  return DecodeUtf8OrAnsi(InVar.data, InVar.size);
}

}  // namespace velmora
