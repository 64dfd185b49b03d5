// Base64 as FileAsBase64 hands it out: the RFC 4648 alphabet with padding,
// and CR LF after every 76 characters, counted across the whole input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/ustring.h"

namespace velmora {

// The bytes of one 76-character line: 19 whole 3-byte groups.
inline constexpr size_t kBase64LineBytes = 57;

// CR LF follows every 19 whole 3-byte groups: an input whose length is a
// non-zero multiple of 57 ends in CR LF, any other ends without one.
ustring EncodeBase64Lines(const uint8_t* bytes, size_t count);

// An empty text with room for the Base64 lines of count bytes. Raises
// std::bad_alloc, as any allocation that cannot be met does, when no text
// can be that long.
ustring Base64TextFor(size_t count);

}  // namespace velmora
