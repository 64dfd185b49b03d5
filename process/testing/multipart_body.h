// multipart/form-data bodies as a browser sends them, for tests. Names go
// between quotes as they are, so that a test can also send what a browser
// would have escaped.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "http_client/multipart_body.h"

namespace velmora::testing {

struct FormPart {
  std::string name;
  std::string data;
  std::optional<std::string> filename;  // set: a file field (empty: none chosen)
  std::string contentType;              // file fields only; empty: none sent
};

inline FormPart Field(std::string name, std::string value) {
  return {std::move(name), std::move(value), std::nullopt, ""};
}

inline FormPart File(std::string name, std::string filename, std::string data,
                     std::string contentType = "application/octet-stream") {
  return {std::move(name), std::move(data), std::move(filename), std::move(contentType)};
}

inline std::string MultipartBody(
    const std::vector<FormPart>& parts,
    const std::string& delimiter = "-----------------------------7e1a2b3c") {
  std::string body;
  for (const FormPart& part : parts) {
    const std::string quotedFileName = part.filename ? "\"" + *part.filename + "\"" : "";
    body += MultipartPartHead(delimiter, "\"" + part.name + "\"",
                              part.filename ? &quotedFileName : nullptr,
                              part.filename ? part.contentType : "");
    body += part.data + "\r\n";
  }
  return body + delimiter + "--\r\n";
}

}  // namespace velmora::testing
