// What saving does when a target exists: OverwriteMode's values.
#pragma once

#include <cstdint>

namespace velmora {

enum TowModeType : uint8_t { owAlways = 0, owNever = 1, owRename = 2 };

}  // namespace velmora
