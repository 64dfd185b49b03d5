#include "base/errors.h"

namespace velmora {

Exception::Exception(ustring message, int helpContext)
    : message_(std::move(message)), utf8_(toUtf8(message_)), helpContext_(helpContext) {}

}  // namespace velmora
