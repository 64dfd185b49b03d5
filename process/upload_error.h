// The upload's own failures, raised by the object and by the parts below it
// (the receiver, direct saving), each with the component's message.
#pragma once

#include "base/errors.h"

namespace velmora {

// Upload and reading failures.
VELMORA_DECLARE_EXCEPTION(EUploadError, Exception);
// A file index out of range.
VELMORA_DECLARE_EXCEPTION(EIndexError, Exception);

}  // namespace velmora
