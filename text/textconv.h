// The component's character-set rules in one place: text going out is UTF-8
// without a byte-order mark; bytes coming in are UTF-8 with a fallback to the
// system ANSI code page, or the ANSI code page alone.
#pragma once

#include <cstdint>
#include <string>

#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

// Writes the UTF-8 bytes of text at the stream's position.
void StringToStream(TStream& stream, ustring_view text);

// Decodes count bytes from source's position (count <= 0: all of source from
// its start). Valid UTF-8 (a leading byte-order mark skipped) decodes as
// UTF-8; anything else decodes whole in the ANSI code page, from its first
// byte. EReadError when source holds fewer bytes.
ustring StreamToString(TStream& source, int64_t count);

// The same bytes as an 8-bit string in the ANSI code page (with a single-byte
// code page: the bytes themselves).
std::string StreamToAnsiString(TStream& source, int64_t count);

// The byte-run forms the stream routines are made of.
ustring DecodeUtf8OrAnsi(const uint8_t* bytes, size_t count);

}  // namespace velmora
