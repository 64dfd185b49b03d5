// URL splitting and the form encoding of the HTTP client.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/ustring.h"
#include "http_client/form_variables.h"

namespace velmora {

// The parts of a URL as written in it (escapes kept); ExtraInfo is everything
// from the first "?" or "#".
struct TURLParts {
  ustring Scheme;
  ustring HostName;
  uint16_t Port = 0;
  ustring UserName;
  ustring Password;
  ustring UrlPath;
  ustring ExtraInfo;
};

// Splits URL (with "http://" in front when it names no scheme) with the
// system's URL parser and its part capacities: a host over 256 characters, a
// user name or password over 128, a path or extra information over 2048 make
// the split fail. Port is the URL's or the scheme's default. The parts keep
// their %XX escapes: the path and query travel as written, and the callers
// decode the credentials (DecodeURLEscapes). False, and parts untouched, when
// the split fails. (Windows only.)
bool SplitURL(const ustring& URL, TURLParts& parts);

// URL with "http://" in front unless it begins with a scheme name and "://".
// A "://" further on (inside a query, say) does not count as a scheme.
ustring WithDefaultScheme(const ustring& URL);

// Each run of %XX sequences decoded as bytes, read as UTF-8 (or in the ANSI
// code page when they are not UTF-8); a "%" not followed by two hexadecimal
// digits stays as written.
ustring DecodeURLEscapes(ustring_view text);

// The bytes up to the first zero byte, with A-Z a-z 0-9 ! $ ' ( ) * - . @ _
// kept, the blank as "+" and every other byte as "%XX" (upper-case digits).
std::string URLEncodeAnsi(std::string_view Text);

// name=value&name=value... of the variables in order, each name and value
// (the value it is sent with) converted to the ANSI code page and
// URLEncodeAnsi-encoded.
ustring EncodeFormVariables(const TFormVariables& FormVariables);

// True when text holds a character that would end or split a request line or
// header line: one below U+0020 (CR, LF, NUL, tab, ...) or U+007F.
bool HasControlCharacter(ustring_view text);

// The host and port of an absolute URL's authority (after "://", up to the
// first "/", "?", "#" or "\"; user information up to its last "@" left
// out). Port is 0 when the URL names none. False when it does not parse: no
// host, a "[" or "]" outside an IPv6 "[...]", or a port that is not a number
// from 1 to 65535 (a larger one would wrap around to another port).
bool ParseAuthority(ustring_view URL, ustring& Host, uint32_t& Port);

// The URL as it may go on the wire, or false when it must not be requested:
// a control character (HasControlCharacter), or an authority that
// ParseAuthority refuses. In http and https URLs a "\" before the query is
// a "/", as browsers read it. The fragment ("#" and after) is dropped, as it
// is the client's own; blanks and characters beyond ASCII become %XX escapes
// of their UTF-8 bytes; "http://" is put in front when the URL names no
// scheme (WithDefaultScheme).
bool PrepareURL(const ustring& URL, ustring& Prepared);

}  // namespace velmora
