// The two exchanges of the HTTP client over WinInet, synchronous, each with
// its own handles. Network failures are results, never exceptions: what can
// raise is running out of memory.
//
// Both share nothing with other transfers of the process (no cookies, no
// cache, no log-on kept by WinInet) and make no request for a URL or
// UserAgent that PrepareURL or HasControlCharacter refuses. They follow up to
// 10 redirects themselves: credentials go only to the scheme, host and port of
// URL, and https never leads to http (the transfer fails instead). An answer
// cut short of its Content-Length, or whose status line is not HTTP, is no
// answer.
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
// the answer is read. A 401 is retried up to three attempts in all. A 307 or
// 308 sends the body again to its target; 301, 302 and 303 end the upload
// with their status. True when the whole body went out and the final status
// is 200.
bool PostMultipart(const ustring& URL, const TFormVariables& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile);

// GETs or POSTs (Method) URL with the form-encoded FormVariables as its body
// and reads the whole answer into Body. UserName and Password log on, or the
// URL's own when both are empty. TimeOut (seconds; 0 or less: no limit)
// bounds each wait, and no wait begins once it has passed since the start.
// 301, 302 and 303 make a POST a GET without a body. StatusCode is 0 when no
// answer came (Body then empty); it is left alone only when no request could
// be made. True exactly for status 200.
bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method,
                const TFormVariables& FormVariables, int32_t TimeOut, TMemoryStream& Body,
                uint32_t& StatusCode);

}  // namespace velmora
