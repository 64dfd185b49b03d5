// What the tests against the servers of web_servers.js share: their ports (from
// the file named by VELMORA_TEST_SERVERS), the byte pattern of their
// generated answers, a SHA-256, a look into their JSON answers and the
// process's handle count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/ustring.h"

namespace velmora::testing {

// The port of a listener of web_servers.js ("http", "https", "hang", ...); fails
// the test (and returns 0) when the servers are not running.
uint16_t serverPort(const char* name);

// "<scheme>://<host>:<port of name><path>". The host "localhost" is the same
// address under another name: another host for the client.
ustring serverURL(const char* name, const std::string& path, const char* scheme = "http",
                  const char* host = "127.0.0.1");

// Byte i of every generated answer is (i * 7 + 3) & 0xFF.
std::vector<uint8_t> pattern(size_t n);

std::string sha256Hex(const uint8_t* bytes, size_t count);

// The JSON text of the first member named key, at any depth; empty when none.
std::string jsonMember(const std::string& json, const std::string& key);

// The number of system handles the process holds (GetProcessHandleCount reads
// 0 under Wine, so the system's handle table is counted instead).
unsigned long processHandleCount();

}  // namespace velmora::testing
