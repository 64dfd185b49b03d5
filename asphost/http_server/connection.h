// One client connection over Winsock: request heads, the request body read
// on demand (it stays in the socket until the page asks for it), and the
// bytes of the response.
#pragma once

#include <winsock2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "asphost/http_server/http_request.h"

namespace asphost {

// How long IsClientConnected trusts what it last heard from the client.
constexpr std::chrono::milliseconds kClientCheckInterval{5};

// How long a page thread waits for a reader to make room before it hands
// the rest of the file to the loop.
constexpr std::chrono::milliseconds kBriskReader{100};
// What a page thread reads of a file at a time (each send costs a round
// trip through the Wine server: large pieces make fast downloads), what the
// loop reads at a time (a slow reader holds its piece), and the most the
// loop sends to one client in a turn, so that others are not kept waiting.
constexpr size_t kThreadFileChunk = 262144;
constexpr size_t kLoopFileChunk = 32768;
constexpr size_t kFileBytesPerTurn = 262144;

// The pace a client must keep while a page thread waits on it, for the
// body or to take the answer, as IIS's minimum of 240 bytes a second: the
// time the thread waits is spent from a credit that each byte moved earns
// back (1 s per kMinBytesPerSecond bytes), never above kClientCredit. So a
// client silent for kClientCredit, or slower than the minimum for longer
// than the credit lasts, loses its connection; the time a page itself
// takes costs nothing.
constexpr int kMinBytesPerSecond = 240;
constexpr std::chrono::milliseconds kClientCredit{20000};
inline std::chrono::nanoseconds CreditEarnedBy(size_t bytes) {
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * 1000000000 / kMinBytesPerSecond);
}

// Told when a page thread begins and ends waiting on its client: the
// server lets another thread serve meanwhile.
class ClientWaitObserver {
 public:
  virtual void WaitBegins() = 0;
  virtual void WaitEnds() = 0;

 protected:
  ~ClientWaitObserver() = default;
};

class Connection {
 public:
  // Takes ownership of the connected socket.
  Connection(SOCKET socket, std::string remoteAddress, int remotePort,
             std::chrono::milliseconds clientCheckInterval = kClientCheckInterval);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  SOCKET socket() const { return socket_; }

  // While a head arrives the server's event loop owns the connection: it
  // receives what the client sent whenever the socket is readable, never
  // blocking, and looks for a complete head.
  //
  // Takes in what has arrived (the socket must be readable), no more than
  // limit leaves room for (the head's, or the start of a body the loop
  // waits for); false when the client has closed the
  // connection or it failed.
  bool ReceiveHeadBytes(size_t limit);
  // The next head once the bytes received hold all of it (kComplete), or
  // what is wrong with it. Looks only at the bytes received since it last
  // looked, so a head sent a byte at a time costs no more than one sent whole.
  HeadStatus TakeHead(RequestHead* head, size_t limit);
  // Bytes of the next request (or of the body just announced) already received.
  bool HasPendingBytes() const { return !pending_.empty(); }
  size_t PendingBytes() const { return pending_.size(); }

  // Before a page thread serves the first request: the socket's buffers.
  // Reads and writes never block in the socket; waits go through the
  // observer (null: none) and spend the client's credit.
  void SetUpForServing(ClientWaitObserver* observer = nullptr);
  // The credit the client's next request starts with (what is left after
  // the loop waited for the start of its body), and the most it can earn.
  void SetPace(std::chrono::nanoseconds credit, std::chrono::nanoseconds most) {
    creditCap_ = most;
    credit_ = std::min(credit, most);
  }

  // The body of the request just read: length bytes follow the head. With
  // expectContinue the client waits for "100 Continue" before sending it:
  // the first read of the body sends it, unless the response has begun.
  void BeginBody(int64_t length, bool expectContinue);
  int64_t BodyRemaining() const { return bodyRemaining_; }

  // Reads size bytes of the body (what is left of it when less), waiting
  // for them as Request.BinaryRead does. Fewer when the client has gone or
  // stalled; 0 at the end of the body.
  size_t ReadBody(uint8_t* buffer, size_t size);

  // Reads and drops the rest of the body if at most limit bytes are left
  // and they arrive; false means the connection cannot carry another request.
  bool DrainBody(int64_t limit);
  // Whether DrainBody may keep the connection: at most limit bytes are
  // left, and the client is not waiting for a 100 Continue that never
  // came (it may send the body, or its next request, or neither: the
  // bytes that follow cannot be told apart).
  bool CanDrainBody(int64_t limit) const {
    return bodyRemaining_ <= limit && !(continuePending_ && bodyRemaining_ > 0 && pending_.empty());
  }

  // False once the client has reset the connection, closed it before the
  // whole body arrived, or a read or write has failed. Bytes that the client
  // has sent, and a close after the whole body, do not count as gone.
  // Cheap enough to ask before every block: every receive tells that the
  // client is there, and the socket itself is looked at only when nothing
  // has been heard for the check interval (under Wine each look is a round
  // trip through the Wine server).
  bool IsClientConnected();
  // How many times IsClientConnected has looked at the socket.
  int SocketChecks() const { return socketChecks_; }

  // Sends all bytes; false when the client has gone.
  bool Send(const void* data, size_t size);
  bool Send(const std::string& data) { return Send(data.data(), data.size()); }
  bool ResponseStarted() const { return responseStarted_; }

  // A file to send after the head just sent, by the event loop rather than
  // the page thread: a slow reader then holds a socket, never a thread.
  // Takes ownership of the open file; size bytes are sent from where it is.
  void SendFileLater(HANDLE file, uint64_t size);
  bool HasFileToSend() const { return file_ != INVALID_HANDLE_VALUE; }
  // On the loop, when the socket is writable: sends what the socket takes
  // at once (at most kFileBytesPerTurn, read kLoopFileChunk at a time),
  // adding to *sent; false when the connection or the file failed. The
  // file is closed once all of it is out.
  bool SendFileBytes(size_t* sent) { return SendFileBytes(sent, kLoopFileChunk, kFileBytesPerTurn); }
  // On the page thread: sends the file for as long as the client takes it
  // briskly (the socket has room again within kBriskReader); the rest, if
  // any, is left to the loop. A fast download runs at a thread's speed, a
  // slow reader costs the thread a moment.
  void SendFileWhileTaken();

  // A last, short answer from a thread that must not wait (the event loop):
  // sent only if the socket takes it at once.
  void SendWithoutWaiting(std::string_view text);
  // After the last answer: the client sees the end of the stream.
  void EndSending();
  // Reads and drops what the client still sends after the last answer, at
  // most *budget bytes in all; false once the client has closed, the
  // connection failed, or the budget is spent.
  bool Discard(size_t* budget);

  const std::string& remoteAddress() const { return remoteAddress_; }
  int remotePort() const { return remotePort_; }
  int localPort() const { return localPort_; }

 private:
  SOCKET socket_;
  std::string remoteAddress_;
  int remotePort_;
  int localPort_ = 0;
  bool setUp_ = false;
  std::string pending_;  // received with a head, not yet consumed
  size_t headScanned_ = 0;  // how much of pending_ TakeHead has looked at
  // Body bytes received ahead of the page's reads: one receive serves
  // several blocks (under Wine each receive is a round trip through the
  // Wine server). Never beyond the body, which ends where the next head begins.
  std::unique_ptr<uint8_t[]> ahead_;
  size_t aheadBegin_ = 0, aheadEnd_ = 0;
  int64_t bodyRemaining_ = 0;
  bool continuePending_ = false;
  bool responseStarted_ = false;
  bool broken_ = false;
  // When the client last showed it was there: a receive, or a check.
  std::chrono::steady_clock::time_point lastHeard_ = std::chrono::steady_clock::time_point::min();
  std::chrono::milliseconds clientCheckInterval_;
  int socketChecks_ = 0;
  ClientWaitObserver* observer_ = nullptr;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  uint64_t fileLeft_ = 0;  // not yet read from the file
  std::unique_ptr<char[]> fileBuffer_;
  size_t fileBufferSize_ = 0;
  size_t fileBegin_ = 0, fileEnd_ = 0;  // read from the file, not yet sent
  std::chrono::nanoseconds credit_ = kClientCredit;
  std::chrono::nanoseconds creditCap_ = kClientCredit;

  // Waits until the socket is ready for events, spending credit; false when
  // the credit runs out first.
  bool AwaitClient(short events);
  bool SendFileBytes(size_t* sent, size_t chunk, size_t most);
  void Earn(size_t bytes);
};

// The most one receive takes in for the body.
constexpr size_t kBodyReadAhead = 1 << 20;
// The most a request head may take, the empty lines before it included:
// browsers send a few KB, and IIS refuses heads over 16 KB by default too.
constexpr size_t kMaxHeadBytes = 16384;

}  // namespace asphost
