// Memory streams from and to byte strings, for tests.
#pragma once

#include <string>

#include "io/stream.h"

namespace velmora::testing {

// A stream holding bytes, positioned at its start.
inline TMemoryStream streamOf(const std::string& bytes) {
  TMemoryStream s;
  s.write(bytes.data(), bytes.size());
  s.seek(0);
  return s;
}

inline std::string bytesOf(const TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), static_cast<size_t>(s.size()));
}

}  // namespace velmora::testing
