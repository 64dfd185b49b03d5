#include "base/errors.h"

#include <cstdio>

namespace velmora {

Exception::Exception(ustring message, int helpContext)
    : message_(std::move(message)), utf8_(toUtf8(message_)), helpContext_(helpContext) {}

EStringListError EStringListError::indexOutOfBounds(int index) {
  return EStringListError(u"List index out of bounds (" + toDecimal(index) + u")");
}

EReadError::EReadError() : EStreamError(u"Stream read error") {}
EWriteError::EWriteError(uint32_t systemCode)
    : EStreamError(u"Stream write error", systemCode) {}

EFCreateError::EFCreateError(const ustring& fullPath, const ustring& systemText,
                             uint32_t systemCode)
    : EStreamError(u"Cannot create file \"" + fullPath + u"\". " + systemText, systemCode) {}

EFOpenError::EFOpenError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode)
    : EStreamError(u"Cannot open file \"" + fullPath + u"\". " + systemText, systemCode) {}

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

EVariantInvalidArgError::EVariantInvalidArgError() : Exception(u"Invalid argument") {}

}  // namespace velmora
