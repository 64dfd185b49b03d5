#include "asphost/mtxex/multipart_body.h"

#include "http_client/multipart_body.h"

namespace asphost {

using velmora::MultipartPartHead;
using velmora::QuotedParam;

MultipartBody::MultipartBody(std::string boundary)
    : boundary_(boundary.empty() ? "----Velmora32TestBoundary7MA4YWxkTrZu0gW" : std::move(boundary)) {}

void MultipartBody::AddField(const std::string& name, const std::string& value) {
  parts_ += MultipartPartHead("--" + boundary_, QuotedParam(name), nullptr, {}) + value + "\r\n";
}

void MultipartBody::AddFile(const std::string& fieldName, const std::string& fileName, const std::string& contentType,
                            const std::string& content) {
  const std::string quotedFileName = QuotedParam(fileName);
  parts_ += MultipartPartHead("--" + boundary_, QuotedParam(fieldName), &quotedFileName,
                              contentType.empty() ? "application/octet-stream" : contentType) +
            content + "\r\n";
}

std::string MultipartBody::Finish() const { return parts_ + "--" + boundary_ + "--\r\n"; }

std::string MultipartBody::contentType() const { return "multipart/form-data; boundary=" + boundary_; }

}  // namespace asphost
