// Client file names made safe to report and to store: what FileName reports
// is exactly the name a save in a folder creates, and no save reaches a device.
#pragma once

#include "base/ustring.h"

namespace velmora {

// The name a client sent, reduced to one that Windows stores unchanged:
//   1. the text after the last "\", "/" or ":", cut at the first NUL;
//   2. trailing dots and blanks removed (Windows drops them when it creates
//      a file, so "evil.asp." would be stored as "evil.asp");
//   3. a reserved device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$,
//      CONOUT$, any case, with or without an extension) gets a leading "_";
//   4. a name left empty ("..", ". .") becomes "_";
//   5. a name beginning with a staging file's prefix (kStagingPrefix, any
//      case) gets a leading "_", so that no upload takes or plants one;
//   6. each character Windows refuses in a name (control characters and
//      ? * < > | ") becomes "_" ("a?b.txt" gives "a_b.txt").
// So a client on another system never fails a save with its name.
ustring ClientFileName(ustring_view sent);

// True for a character Windows refuses in a file name, separators aside.
bool IsRefusedInName(char16_t c);

// True when name's base (the text before its first dot, trailing blanks
// ignored) is a reserved device name.
bool IsDeviceName(ustring_view name);

}  // namespace velmora
