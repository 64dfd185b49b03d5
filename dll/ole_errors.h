// The module's own failures at start-up and registration: a type library
// that does not describe a class as the module serves it, a registry entry
// that cannot be written.
#pragma once

#include "base/errors.h"

namespace velmora {

VELMORA_DECLARE_EXCEPTION(EOleError, Exception);
VELMORA_DECLARE_EXCEPTION(EOleRegistrationError, EOleError);

}  // namespace velmora
