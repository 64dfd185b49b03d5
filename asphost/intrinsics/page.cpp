// A page: its five objects and its context, built together.
#include <stdexcept>

#include "asphost/intrinsics/comobject.h"
#include "asphost/intrinsics/internal.h"

namespace asphost {

namespace {

void Require(HRESULT hr, const char* what) {
  if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
  if (FAILED(hr)) throw std::runtime_error(std::string("asphost::Page: cannot create ") + what);
}

template <class Interface>
void ReleaseAndClear(Interface*& object) {
  if (object) object->Release();
  object = nullptr;
}

}  // namespace

Page::Page(PageSetup setup) {
  if (!setup.body || !setup.sink || !setup.application)
    throw std::invalid_argument("asphost::Page: body, sink and application are required");
  try {
    Require(CreateRequest(setup, &request_), "Request");
    Require(CreateResponse(setup, &response_), "Response");
    Require(CreateServer(setup, &server_), "Server");
    Require(CreateApplication(setup, &application_), "Application");
    Require(CreateSession(setup, &session_), "Session");
    Require(CreateObjectContext({{L"Request", request_},
                                 {L"Response", response_},
                                 {L"Server", server_},
                                 {L"Application", application_},
                                 {L"Session", session_}},
                                setup.probe, &context_),
            "the object context");
  } catch (...) {
    ReleaseAll();
    throw;
  }
}

Page::~Page() { ReleaseAll(); }

void Page::ReleaseAll() {
  ReleaseAndClear(context_);
  ReleaseAndClear(session_);
  ReleaseAndClear(application_);
  ReleaseAndClear(server_);
  ReleaseAndClear(response_);
  ReleaseAndClear(request_);
}

HRESULT Page::Finish() {
  if (finished_) return S_OK;
  finished_ = true;
  {
    ScopedObjectContext scope(context_);
    EndPageSession(session_);
  }
  ReleaseApplicationLocks(application_);
  return FinishResponse(response_);
}

}  // namespace asphost
