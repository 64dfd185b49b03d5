// TASPMTSObject: the ASP intrinsic objects of the page running on the calling
// thread, reached through the COM+ object context anew on every use, and the
// upload object's host seam over them.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <asptlb.h>
#include <wrl/client.h>

#include <optional>

#include "com/values.h"
#include "process/host.h"

namespace velmora {

using Microsoft::WRL::ComPtr;

class TASPMTSObject : public IUploadHost {
 public:
  // The page's objects; null when there is no page context or no such item.
  ComPtr<IRequest> Request();
  ComPtr<IResponse> Response();
  ComPtr<IServer> Server();
  ComPtr<IApplicationObject> Application();

  // IUploadHost: each raises when its object cannot be reached, and turns a
  // failed host call into an EHostCallError. The progress item is the
  // object's only while it holds the last number the object wrote there: an
  // item that holds anything else (a site's counter, a shared object, another
  // upload's progress) is never overwritten nor removed, and the object
  // publishes no progress under that key from then on.
  int32_t TotalBytes() override;
  bool IsClientConnected() override;
  std::unique_ptr<IHostBlock> BinaryRead(int64_t count, bool countAsInt64) override;
  void SetApplicationValue(const ustring& key, int32_t value) override;
  void RemoveApplicationValue(const ustring& key) override;
  ustring MapPath(const ustring& path) override;
  std::optional<ustring> ServerVariable(const ustring& name) override;

 private:
  bool HoldsOwnProgress(const ustring& key, VARIANT* item) const;

  // Keeps the end of the process heap in use while blocks come and go (see
  // com::HighestArray): at most one block, freed with the object.
  com::HighestArray highestBlock_;

  // The progress item this object last wrote, while it may still hold it.
  struct TPublished {
    ustring key;
    int32_t value;
  };
  std::optional<TPublished> published_;
  ustring refusedKey_;  // a key found holding someone else's item
};

}  // namespace velmora
