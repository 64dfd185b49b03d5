#include "http_client/testing/test_servers.h"

#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>

namespace velmora::testing {

namespace {

std::map<std::string, uint16_t> readPorts() {
  std::map<std::string, uint16_t> ports;
  const char* file = std::getenv("VELMORA_TEST_SERVERS");
  if (!file) return ports;
  std::ifstream in(file);
  std::string name;
  unsigned port = 0;
  while (in >> name >> port) ports[name] = static_cast<uint16_t>(port);
  return ports;
}

}  // namespace

uint16_t serverPort(const char* name) {
  static const std::map<std::string, uint16_t> ports = readPorts();
  auto it = ports.find(name);
  if (it == ports.end()) {
    ADD_FAILURE() << "no port for the server \"" << name
                  << "\": run through CTest, whose web-servers fixture starts them";
    return 0;
  }
  return it->second;
}

ustring serverURL(const char* name, const std::string& path, const char* scheme, const char* host) {
  return fromUtf8(std::string(scheme) + "://" + host + ":" + std::to_string(serverPort(name)) +
                  path);
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
  return bytes;
}

std::string sha256Hex(const uint8_t* bytes, size_t count) {
  unsigned char digest[32] = {};
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0) {
    if (BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
      BCryptHashData(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(count), 0);
      BCryptFinishHash(hash, digest, sizeof digest, 0);
      BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(alg, 0);
  }
  std::string hex;
  char two[3];
  for (unsigned char b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

std::string jsonMember(const std::string& json, const std::string& key) {
  const std::string quoted = "\"" + key + "\":";
  size_t start = json.find(quoted);
  if (start == std::string::npos) return {};
  start += quoted.size();
  int depth = 0;
  bool inString = false;
  for (size_t i = start; i < json.size(); ++i) {
    char c = json[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
      if (!inString && depth == 0) return json.substr(start, i + 1 - start);
      continue;
    }
    if (c == '"') inString = true;
    else if (c == '[' || c == '{') ++depth;
    else if (c == ']' || c == '}') {
      if (depth == 0) return json.substr(start, i - start);
      if (--depth == 0) return json.substr(start, i + 1 - start);
    } else if (c == ',' && depth == 0) {
      return json.substr(start, i - start);
    }
  }
  return json.substr(start);
}

// The system handle table (information class 16) lists every process's
// handles with 16-bit process ids.
unsigned long processHandleCount() {
  struct Entry {
    USHORT processId, creatorBackTraceIndex;
    UCHAR objectType, attributes;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
  };
  struct Table {
    ULONG count;
    Entry entries[1];
  };
  std::vector<char> buffer(1 << 20);
  ULONG length = 0;
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16), buffer.data(),
                                            static_cast<ULONG>(buffer.size()), &length)) ==
         static_cast<NTSTATUS>(0xC0000004L))  // STATUS_INFO_LENGTH_MISMATCH
    buffer.resize(buffer.size() * 2);
  if (status != 0) return 0;
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const auto self = static_cast<USHORT>(GetCurrentProcessId());
  unsigned long mine = 0;
  for (ULONG i = 0; i < table->count; ++i)
    if (table->entries[i].processId == self) ++mine;
  return mine;
}

}  // namespace velmora::testing
