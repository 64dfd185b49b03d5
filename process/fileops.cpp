#include "process/fileops.h"

namespace velmora {

ustring EInOutError::messageFor(int code) {
  switch (code) {
    case 2: return u"The specified file was not found";
    case 3: return u"Invalid file name - %s";  // the %s stands as it is
    case 4: return u"Too many open files";
    case 5: return u"File access denied";
    case 100: return u"Read beyond end of file";
    case 101: return u"Disk full";
    case 106: return u"Invalid numeric input";
    default: return u"I/O error " + toDecimal(code);
  }
}

EInOutError::EInOutError(int code) : Exception(messageFor(code)), code_(code) {}

}  // namespace velmora
