#include "com/error_info.h"

#include <oleauto.h>

namespace com {

bool SetErrorInfoFor(REFIID iid, const wchar_t* source, const wchar_t* description,
                     DWORD helpContext) {
  ICreateErrorInfo* create = nullptr;
  if (FAILED(CreateErrorInfo(&create))) return false;
  create->SetGUID(iid);
  if (source && *source) create->SetSource(const_cast<LPOLESTR>(source));
  if (description && *description) create->SetDescription(const_cast<LPOLESTR>(description));
  if (helpContext != 0) create->SetHelpContext(helpContext);
  IErrorInfo* info = nullptr;
  const bool made = SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)));
  if (made) {
    SetErrorInfo(0, info);
    info->Release();
  }
  create->Release();
  return made;
}

}  // namespace com
