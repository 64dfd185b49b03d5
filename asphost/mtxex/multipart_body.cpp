#include "asphost/mtxex/multipart_body.h"

namespace asphost {

namespace {

std::string Quoted(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"')
      quoted += "%22";
    else if (c == '\r')
      quoted += "%0D";
    else if (c == '\n')
      quoted += "%0A";
    else
      quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

MultipartBody::MultipartBody(std::string boundary)
    : boundary_(boundary.empty() ? "----Velmora32TestBoundary7MA4YWxkTrZu0gW" : std::move(boundary)) {}

void MultipartBody::AddField(const std::string& name, const std::string& value) {
  parts_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=" + Quoted(name) + "\r\n\r\n" + value + "\r\n";
}

void MultipartBody::AddFile(const std::string& fieldName, const std::string& fileName, const std::string& contentType,
                            const std::string& content) {
  parts_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=" + Quoted(fieldName) +
            "; filename=" + Quoted(fileName) +
            "\r\nContent-Type: " + (contentType.empty() ? std::string("application/octet-stream") : contentType) +
            "\r\n\r\n" + content + "\r\n";
}

std::string MultipartBody::Finish() const { return parts_ + "--" + boundary_ + "--\r\n"; }

std::string MultipartBody::contentType() const { return "multipart/form-data; boundary=" + boundary_; }

}  // namespace asphost
