// The two exchanges of the HTTP client over WinInet, synchronous, each with
// its own handles. Network failures are results, never exceptions: what can
// raise is running out of memory.
#pragma once

#include <cstdint>

#include "base/ustring.h"
#include "io/stream.h"
#include "http_client/form_variables.h"

namespace velmora {

enum TRequestMethod { rmGet, rmPost, rmPut, rmDelete };

// POSTs FormVariables and Data (as the file FileName in the field TagName) as
// multipart/form-data to URL. The URL's own user name and password win over
// UserName and Password. ReturnCode receives every status obtained (and is
// left alone when none is); ReturnFile the start of the answer as text (at
// most 51200 bytes, 2000 when the answer declares no length), set only once
// the answer is read. A 401 is retried up to three attempts in all. True when
// the whole body went out and the final status is 200.
bool PostMultipart(const ustring& URL, const TFormVariables& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile);

// GETs or POSTs (Method) URL with the form-encoded FormVariables as its body
// and reads the whole answer into Body. UserName and Password log on, or the
// URL's own when both are empty. TimeOut (seconds) bounds connecting and each
// wait for data. StatusCode is 0 when no answer came; it is left alone only
// when no request could be made. True exactly for status 200.
bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method,
                const TFormVariables& FormVariables, int32_t TimeOut, TMemoryStream& Body,
                uint32_t& StatusCode);

}  // namespace velmora
