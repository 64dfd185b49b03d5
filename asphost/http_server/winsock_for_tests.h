// Winsock started for the length of a test.
#pragma once

#include <winsock2.h>

namespace asphost {

class WinsockForTests {
 public:
  WinsockForTests() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockForTests() { WSACleanup(); }
  WinsockForTests(const WinsockForTests&) = delete;
  WinsockForTests& operator=(const WinsockForTests&) = delete;
};

}  // namespace asphost
