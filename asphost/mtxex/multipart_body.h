// Builds multipart/form-data request bodies as browsers send them, so that
// tests need no hand-made bodies.
#pragma once

#include <string>

namespace asphost {

class MultipartBody {
 public:
  // An empty boundary picks a fixed one that no test content contains.
  explicit MultipartBody(std::string boundary = {});

  // Names, file names and values are bytes (callers pass UTF-8 text); a
  // double quote in a name is sent as %22, as browsers do.
  void AddField(const std::string& name, const std::string& value);
  // An empty content type is sent as application/octet-stream.
  void AddFile(const std::string& fieldName, const std::string& fileName, const std::string& contentType,
               const std::string& content);

  // The body with its closing delimiter.
  std::string Finish() const;
  const std::string& boundary() const { return boundary_; }
  // "multipart/form-data; boundary=..."
  std::string contentType() const;

 private:
  std::string boundary_;
  std::string parts_;
};

}  // namespace asphost
