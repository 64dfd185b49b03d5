// What the parts of mtxex.dll share: the calling thread's page and the
// control object's constructor.
#pragma once

#include <memory>

#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

// Makes context (or none) the page that GetObjectContext hands out on the
// calling thread; probe, when given, can make GetObjectContext itself fail.
HRESULT SetThreadPage(IObjectContext* context, std::shared_ptr<HostProbe> probe);

// A new Velmora32Test.Host.
HRESULT CreateAspTestHost(REFIID riid, void** out);

}  // namespace asphost
