// The Base64 text of FileAsBase64: alphabet, padding and the 76-character
// lines counted across the whole input.
#include "process/base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

using namespace velmora;

namespace {

std::string Encode(const std::string& bytes) {
  return toUtf8(EncodeBase64Lines(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace

TEST(Base64, KnownVectors) {
  struct Case {
    std::string in, out;
  };
  std::string line(76, 'A');  // 57 zero bytes
  for (const Case& c : std::vector<Case>{
           {"", ""},
           {"f", "Zg=="},
           {"fo", "Zm8="},
           {"foo", "Zm9v"},
           {"foob", "Zm9vYg=="},
           {"fooba", "Zm9vYmE="},
           {"foobar", "Zm9vYmFy"},
           {std::string("\x01\x02\x03", 3), "AQID"},
           {"\xFB\xEF\xFF", "++//"},
           {std::string(57, '\0'), line + "\r\n"},
           {std::string(58, '\0'), line + "\r\nAA=="},
           {std::string(59, '\0'), line + "\r\nAAA="},
           {std::string(114, '\0'), line + "\r\n" + line + "\r\n"},
           {std::string(56, '\0'), std::string(75, 'A') + "="},  // full, but padded
           {std::string(113, '\0'), line + "\r\n" + std::string(75, 'A') + "="},
       }) {
    EXPECT_EQ(Encode(c.in), c.out) << c.in.size() << " bytes";
  }
}

// Every length up to three lines and a bit: the lines are 76 characters, a CR
// LF follows every full one, and the text decodes back to the input.
TEST(Base64, LinesAndRoundTrip) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string input;
  for (size_t n = 0; n <= 200; ++n) {
    std::string text = Encode(input);
    std::string joined;
    size_t start = 0;
    for (;;) {
      size_t crlf = text.find("\r\n", start);
      std::string row =
          text.substr(start, crlf == std::string::npos ? std::string::npos : crlf - start);
      if (crlf != std::string::npos)
        EXPECT_EQ(row.size(), 76u) << n;
      else
        EXPECT_LE(row.size(), 76u) << n;
      joined += row;
      if (crlf == std::string::npos) break;
      start = crlf + 2;
    }
    ASSERT_EQ(joined.size(), (n + 2) / 3 * 4) << n;
    EXPECT_EQ(text.size() - joined.size(), n / 57 * 2) << n;
    std::string decoded;
    uint32_t bits = 0;
    int held = 0;
    for (char c : joined) {
      if (c == '=') break;
      size_t v = alphabet.find(c);
      ASSERT_NE(v, std::string::npos) << n;
      bits = bits << 6 | static_cast<uint32_t>(v);
      held += 6;
      if (held >= 8) {
        held -= 8;
        decoded += static_cast<char>(bits >> held & 0xFF);
      }
    }
    EXPECT_EQ(decoded, input) << n;
    input += static_cast<char>(n * 37 + 11);
  }
}

// Text no string can hold is out of memory, as any allocation that fails,
// never a library's internal message; a 32-bit process meets it at about
// 400 MB of file.
TEST(Base64, TextTooLongForAStringIsOutOfMemory) {
  const size_t most = ustring().max_size();
  EXPECT_THROW(Base64TextFor(most), std::bad_alloc);
  EXPECT_THROW(Base64TextFor(SIZE_MAX), std::bad_alloc);
  EXPECT_THROW(Base64TextFor(most / 4 * 3 + 3), std::bad_alloc);
  if (sizeof(void*) == 4) {
    EXPECT_THROW(Base64TextFor(size_t{400} << 20), std::bad_alloc);
  }
  EXPECT_GE(Base64TextFor(57).capacity(), 78u);
}
