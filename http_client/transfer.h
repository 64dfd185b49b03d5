// The two exchanges of the HTTP client, synchronous, each on connections of
// its own (through the system's proxy settings). Network failures are
// results, never exceptions: what can raise is running out of memory.
//
// Both share nothing with other transfers of the process (no cookies, no
// cache, no log-on kept outside the call) and make no request for a URL or
// UserAgent that PrepareURL or HasControlCharacter refuses, nor with a user
// name holding ":" (Basic could not carry it). They follow up to
// 10 redirects themselves: credentials go only to the scheme, host and port of
// URL, and https never leads to http (the transfer fails instead). An answer
// counts only when it came whole by its own framing (TAnswerParser): a head
// cut short, a body short of its Content-Length (counted in 64 bits) or cut
// before its last chunk, a status line that is not HTTP or a status outside
// 100 to 599 is no answer.
//
// Each runs on a thread of its own, so that the caller waits no longer than
// its bounds even where the system does not bound a call (resolving a name);
// a transfer given up on finishes and frees what it holds in the background.
// While 32 such transfers still run, no new one starts (it fails as for no
// answer).
#pragma once

#include <cstdint>
#include <memory>

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
// the answer is read whole. A 401 is retried up to three attempts in all. A
// 307 or 308 sends the body again to its target; 301, 302 and 303 end the
// upload with their status. True when the whole body went out, the final
// status is 200 and its answer came whole. An answer cut short sets
// ReturnCode to 0 and ReturnFile to "". The caller waits at most 60 s for
// the connection and the request's head to go out, 30 s for each piece of
// the body, 30 s for the answer's head and 30 s for its body.
bool PostMultipart(const ustring& URL, const TFormVariables& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile);

// GETs or POSTs (Method) URL with the form-encoded FormVariables as its body
// and writes the answer's body to Body as it arrives. UserName and Password
// log on, or the URL's own when both are empty. TimeOut (seconds; 0 or less:
// no limit) bounds each wait, no wait begins once it has passed since the
// start, and the caller waits twice TimeOut at most. 301, 302 and 303 make a
// POST a GET without a body. StatusCode is 0 when no answer came whole (Body
// then holds what came, and when the transfer was given up on, its thread may
// still write to it: Body is not to be used then); it is left alone only
// when no request could be made. A failure to write Body is raised, with
// StatusCode set. True exactly for status 200.
bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method,
                const TFormVariables& FormVariables, int32_t TimeOut,
                const std::shared_ptr<TStream>& Body, uint32_t& StatusCode);

}  // namespace velmora
