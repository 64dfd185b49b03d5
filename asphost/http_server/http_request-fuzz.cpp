// libFuzzer target: request heads and URL-encoded text from any bytes. The
// parser must never read out of bounds, and a complete head must hold up.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "asphost/http_server/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  asphost::RequestHead head;
  size_t used = 0;
  if (asphost::ParseRequestHead(input, 1024, &head, &used) == asphost::HeadStatus::kComplete) {
    if (used > size || head.target.empty() || head.target[0] != '/' || head.contentLength < 0) abort();
    head.KeepAlive();
    head.ExpectsContinue();
    asphost::ParseUrlEncoded(head.query);
  }
  for (const auto& pair : asphost::ParseUrlEncoded(input))
    if (pair.first.size() + pair.second.size() > size) abort();
  return 0;
}
