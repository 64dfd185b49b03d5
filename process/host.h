// What the upload object needs of the ASP host, and nothing more. The DLL
// implements it over the real ASP intrinsic objects (dll/asp_host.cpp),
// fetched anew through the object context on every call; tests use a fake.
//
// Every member raises on failure: a failed host call becomes an
// EHostCallError carrying the host's HRESULT and description; a host object
// that cannot be reached (no page context) becomes an Exception saying so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/errors.h"
#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

// A call on a host object that failed: the host's HRESULT and description.
VELMORA_DECLARE_EXCEPTION(EHostCallError, ESystemError);

// The bytes one BinaryRead delivered, left where the host put them, so that
// the reader parses them in place instead of copying them first. Readable
// for as long as the block lives.
class IHostBlock {
 public:
  virtual ~IHostBlock() = default;
  virtual ByteSpan bytes() const = 0;
};

// A block over bytes the host keeps elsewhere until its next BinaryRead, for
// hosts that hold the body in memory.
class TBorrowedBlock final : public IHostBlock {
 public:
  explicit TBorrowedBlock(ByteSpan bytes) : bytes_(bytes) {}
  ByteSpan bytes() const override { return bytes_; }

 private:
  ByteSpan bytes_;
};

class IUploadHost {
 public:
  virtual ~IUploadHost() = default;

  // Request.TotalBytes: the declared body length.
  virtual int32_t TotalBytes() = 0;

  // Response.IsClientConnected.
  virtual bool IsClientConnected() = 0;

  // Request.BinaryRead: asks for count bytes; returns the block the host
  // delivered (empty when none came), which a sound host keeps within count.
  // The count travels to the host as a 32-bit integer, or as a 64-bit one
  // when countAsInt64 is set (the shorter last block).
  virtual std::unique_ptr<IHostBlock> BinaryRead(int64_t count, bool countAsInt64) = 0;

  // Application(key) = value (the by-reference assignment), and
  // Application.Contents.Remove(key).
  virtual void SetApplicationValue(const ustring& key, int32_t value) = 0;
  virtual void RemoveApplicationValue(const ustring& key) = 0;

  // Server.MapPath(path).
  virtual ustring MapPath(const ustring& path) = 0;

  // Request.ServerVariables(name) ("" for a variable the request lacks);
  // nothing when the host offers no ServerVariables at all.
  virtual std::optional<ustring> ServerVariable(const ustring& name) {
    (void)name;
    return std::nullopt;
  }
};

}  // namespace velmora
