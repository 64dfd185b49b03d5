// The creators of the two coclasses, for the module's class table.
#pragma once

#include "dll/module.h"

namespace velmora {

IUnknown* CreateProcessObject(const TComClass& cls, IUnknown* outer);
IUnknown* CreateHTTPObject(const TComClass& cls, IUnknown* outer);

}  // namespace velmora
