// libFuzzer target: any text as a page (and as the include file it names).
// Compiling either fails with a PageError or gives one origin per script line.
#include <cstdint>
#include <cstdlib>

#include "asphost/script/page_compiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmora::ustring text;
  for (size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  try {
    asphost::CompiledPage page = asphost::CompilePage(u"/dir/page.asp", [&](const velmora::ustring&) { return text; });
    size_t lines = 0;
    for (char16_t c : page.code) lines += c == u'\n';
    if (lines != page.lines.size()) abort();
  } catch (const asphost::PageError&) {
  }
  return 0;
}
