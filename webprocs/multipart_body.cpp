#include "webprocs/multipart_body.h"

#include <random>
#include <string>

#include "textutils/paths.h"
#include "textutils/system_text.h"

namespace velmora {

namespace {

// A name or file name goes between double quotes in a part's header line. A
// double quote, CR or LF in it would end the quotes or the line early and let
// the text forge headers, so they are written as %22, %0D and %0A, as
// browsers write them.
ustring quotedParam(const ustring& text) {
  ustring out;
  out.reserve(text.size() + 2);
  out += u'"';
  for (char16_t c : text) {
    switch (c) {
      case u'"': out += u"%22"; break;
      case u'\r': out += u"%0D"; break;
      case u'\n': out += u"%0A"; break;
      default: out += c;
    }
  }
  out += u'"';
  return out;
}

ustring fileMimeType(const ustring& FileName, const MimeTypeLookup& mimeTypeOf) {
  try {
    ustring type = mimeTypeOf(FileExtension(FileName));
    return type.empty() ? ustring(kOctetStream) : type;
  } catch (...) {
    return kOctetStream;
  }
}

}  // namespace

ustring FileExtension(const ustring& FileName) {
  return FileName.substr(ExtensionStart(FileName, kScriptSeparators));
}

void BuildMultipartBody(TMemoryStream& Body, ByteSpan Data, ustring& ContentTypeHeader,
                        const TStringList& FormVariables, const ustring& FileName,
                        const ustring& TagName, const ustring& Boundary,
                        const MimeTypeLookup& mimeTypeOf) {
  const ustring delimiter = u"--" + Boundary + u"\r\n";
  ustring head;
  for (const ustring& line : FormVariables) {
    ustring_view name = lineName(line);
    head += delimiter;
    head += u"Content-Disposition: form-data; name=" + quotedParam(ustring(name)) + u"\r\n\r\n";
    head += FormVariables.valueOf(name);
    head += u"\r\n";
  }
  if (Data.size > 0) {
    head += delimiter;
    head += u"Content-Disposition: form-data; name=" + quotedParam(TagName) +
            u"; filename=" + quotedParam(FileName) + u"\r\n";
    head += u"Content-Type: " + fileMimeType(FileName, mimeTypeOf) + u"\r\n\r\n";
  }
  const std::string headBytes = systext::unicodeToUtf8(head);
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
