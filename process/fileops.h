// The failure of the file helpers' text file (AppendToFile): the runtime's
// I/O error, whose code picks the message.
#pragma once

#include "base/errors.h"

namespace velmora {

// An I/O error of a text file, with the messages of the runtime's code table.
class EInOutError : public Exception {
 public:
  explicit EInOutError(int code);
  int code() const noexcept { return code_; }
  static ustring messageFor(int code);

 private:
  int code_;
};

}  // namespace velmora
