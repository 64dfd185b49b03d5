#include "http_client/multipart_body.h"

#include <random>
#include <string>

#include "base/system_text.h"
#include "http_client/url.h"
#include "io/paths.h"

namespace velmora {

namespace {

// UTF-8 keeps every multi-byte character clear of ASCII, so quoting the bytes
// quotes the text.
std::string quotedUtf8(const ustring& text) { return QuotedParam(systext::unicodeToUtf8(text)); }

ustring fileMimeType(const ustring& FileName, const MimeTypeLookup& mimeTypeOf) {
  try {
    // A registered type that would end or split the header line is not used.
    ustring type = mimeTypeOf(FileExtension(FileName));
    return type.empty() || HasControlCharacter(type) ? ustring(kOctetStream) : type;
  } catch (...) {
    return kOctetStream;
  }
}

}  // namespace

std::string MultipartPartHead(std::string_view delimiter, std::string_view quotedName,
                              const std::string* quotedFileName, std::string_view contentType) {
  std::string head;
  head.append(delimiter).append("\r\nContent-Disposition: form-data; name=").append(quotedName);
  if (quotedFileName) head.append("; filename=").append(*quotedFileName);
  head += "\r\n";
  if (!contentType.empty()) head.append("Content-Type: ").append(contentType).append("\r\n");
  head += "\r\n";
  return head;
}

std::string QuotedParam(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char c : text) {
    switch (c) {
      case '"': out += "%22"; break;
      case '\r': out += "%0D"; break;
      case '\n': out += "%0A"; break;
      case '\0': out += "%00"; break;
      default: out += c;
    }
  }
  out += '"';
  return out;
}

ustring FileExtension(const ustring& FileName) {
  return FileName.substr(ExtensionStart(FileName, kScriptSeparators));
}

void BuildMultipartBody(TMemoryStream& Body, ByteSpan Data, ustring& ContentTypeHeader,
                        const TFormVariables& FormVariables, const ustring& FileName,
                        const ustring& TagName, const ustring& Boundary,
                        const MimeTypeLookup& mimeTypeOf) {
  const std::string delimiter = "--" + systext::unicodeToUtf8(Boundary);
  std::string headBytes;
  for (int i = 0; i < FormVariables.count(); ++i) {
    headBytes += MultipartPartHead(delimiter, quotedUtf8(FormVariables.name(i)), nullptr, {});
    headBytes += systext::unicodeToUtf8(FormVariables.sentValue(i));
    headBytes += "\r\n";
  }
  if (Data.size > 0) {
    const std::string fileName = quotedUtf8(FileName);
    headBytes += MultipartPartHead(delimiter, quotedUtf8(TagName), &fileName,
                                   systext::unicodeToUtf8(fileMimeType(FileName, mimeTypeOf)));
  }
  const std::string tailBytes = systext::unicodeToUtf8(u"--" + Boundary + u"--\r\n");

  // One allocation of the exact size; the file's bytes are copied once.
  Body.clear();
  Body.reserve(headBytes.size() + (Data.size > 0 ? Data.size + 2 : 0) + tailBytes.size());
  Body.write(headBytes.data(), headBytes.size());
  if (Data.size > 0) {
    Body.write(Data.data, Data.size);
    Body.write("\r\n", 2);
  }
  Body.write(tailBytes.data(), tailBytes.size());
  Body.seek(0);
  ContentTypeHeader = u"Content-type: multipart/form-data; boundary=" + Boundary;
}

// Seeded once per thread from the system's random source: two uploads in the
// same instant still get different boundaries.
ustring MakeRandomBoundary() {
  thread_local std::mt19937_64 engine = [] {
    std::random_device source;
    std::seed_seq seed{source(), source(), source(), source()};
    return std::mt19937_64(seed);
  }();
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  ustring boundary(27, u'-');
  uint64_t bits = engine();  // 16 uniform 4-bit digits; 14 are used
  for (int i = 0; i < 14; ++i, bits >>= 4) boundary += kDigits[bits & 0xF];
  return boundary;
}

}  // namespace velmora
