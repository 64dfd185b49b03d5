// A TCP connection to an HTTP server or proxy, encrypted with TLS
// (Schannel) on demand, on which no wait outlasts the point in time the
// caller names. Reading the bytes of an answer ourselves is what lets the
// client tell a whole answer from one cut short: WinInet reports a chunked
// body without its last chunk, or a head without its blank line, as a
// normal end.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/ustring.h"

namespace velmora {

class TConnection {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  // No limit.
  static constexpr TimePoint kNever = TimePoint::max();

  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Connects to Host (a name, an IPv4 address or an IPv6 one, with or
  // without brackets) on Port, trying each address the name resolves to
  // until one answers. Null when none did by Until. (Resolving the name is
  // the system's and has no limit of its own.)
  static std::unique_ptr<TConnection> Connect(const ustring& Host, uint16_t Port,
                                              TimePoint Until);

  // Makes this a TLS connection to the server Host (sent for SNI). The
  // server's certificate chain must lead to a trusted root; a name that does
  // not match Host, or dates that have passed, are accepted. False when the
  // handshake failed or did not end by Until; the connection is then
  // unusable.
  bool StartTLS(const ustring& Host, TimePoint Until);

  // Sends all Size bytes. False when the connection failed or the bytes had
  // not all left by Until.
  bool Send(const void* Data, size_t Size, TimePoint Until);

  // Waits until bytes arrive and takes at most Capacity of them. Received is
  // 0 when the peer closed the connection. False when the connection failed
  // or nothing arrived by Until.
  bool Receive(uint8_t* Buffer, size_t Capacity, size_t& Received, TimePoint Until);

 private:
  struct State;
  explicit TConnection(std::unique_ptr<State> state);
  std::unique_ptr<State> s_;
};

}  // namespace velmora
