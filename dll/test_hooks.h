// Test hooks, compiled only into velmora32-testhooks.dll (never shipped):
// with a magic argument, Process.Delete and HTTP.AddFormVar fail on purpose
// inside the member, so tests can see what the boundary makes of a processor
// fault and of errors no real member raises on demand.
#pragma once

#include "base/errors.h"
#include "base/ustring.h"

namespace velmora {

#ifdef VELMORA_TEST_HOOKS
inline void TestHook(const ustring& argument) {
  if (argument == u"velmora:fault") {
    *static_cast<volatile int*>(nullptr) = 1;
  } else if (argument == u"velmora:stack-overflow") {
    // Recursion the optimizer cannot fold away, far deeper than any stack.
    struct Deep {
      static int Go(volatile char* previous, unsigned depth) {
        volatile char page[4096];
        page[0] = previous ? previous[0] : 1;
        return depth == 0 ? page[0] : Go(page, depth - 1) + page[1];
      }
    };
    Deep::Go(nullptr, 1u << 30);
  } else if (argument == u"velmora:empty-message") {
    throw Exception(u"");
  } else if (argument == u"velmora:ole-error") {
    throw ESystemError(u"Access is denied.", static_cast<HRESULT_t>(0x80070005), 42);
  }
}
#else
inline void TestHook(const ustring&) {}
#endif

}  // namespace velmora
