// The multipart/form-data body of an upload: the form variables as parts, then
// the file part, written as UTF-8 around the file's raw bytes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "base/ustring.h"
#include "io/stream.h"
#include "http_client/form_variables.h"

namespace velmora {

// The MIME type for a file extension ("." included).
using MimeTypeLookup = std::function<ustring(const ustring& extension)>;

// Fills Body (emptied first, left at position 0) with the parts and sets
// ContentTypeHeader to the request header line that announces Boundary. Each
// variable's value is the first one stored under its name (ignoring case).
// The file part is written only when Data holds bytes; its type is
// mimeTypeOf(the extension of FileName), "application/octet-stream" when the
// lookup fails.
void BuildMultipartBody(TMemoryStream& Body, ByteSpan Data, ustring& ContentTypeHeader,
                        const TFormVariables& FormVariables, const ustring& FileName,
                        const ustring& TagName, const ustring& Boundary,
                        const MimeTypeLookup& mimeTypeOf);

// One part's opening lines, as bytes: the delimiter line, the
// Content-Disposition line naming the field and, when quotedFileName is given,
// the file, a Content-Type line when contentType is not empty, and the blank
// line. Names come already quoted, so that test bodies can also quote the way
// no browser does.
std::string MultipartPartHead(std::string_view delimiter, std::string_view quotedName,
                              const std::string* quotedFileName, std::string_view contentType);

// A name or file name between double quotes; a double quote, CR or LF in it
// would end the quotes or the line early and let the text forge headers, so
// they are written as %22, %0D and %0A, as browsers write them.
std::string QuotedParam(std::string_view text);

// 27 "-" and 14 random lower-case hexadecimal digits, fresh on every call.
ustring MakeRandomBoundary();

// The text from the last "." of FileName when that "." stands after the last
// "\" and ":" and is not the first character; otherwise empty.
ustring FileExtension(const ustring& FileName);

// The "Content Type" registered for the extension under HKEY_CLASSES_ROOT,
// "application/octet-stream" when there is none. (Windows only.)
ustring MimeTypeFromExtension(const ustring& Extension);

constexpr char16_t kOctetStream[] = u"application/octet-stream";

}  // namespace velmora
