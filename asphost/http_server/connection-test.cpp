// The connection's view of its client while a body is read: whether the
// client is still there, and how seldom the socket has to be asked. Runs
// under Wine against a client socket on 127.0.0.1 in the same process.
#include "asphost/http_server/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "asphost/http_server/winsock_for_tests.h"

namespace asphost {
namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kNever = std::chrono::hours(1);

// A connected pair: the client's socket, and the server's end in a Connection.
struct Pair {
  SOCKET client = INVALID_SOCKET;
  std::unique_ptr<Connection> server;

  explicit Pair(std::chrono::milliseconds checkInterval) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    SOCKET accepted = accept(listener, nullptr, nullptr);
    closesocket(listener);
    EXPECT_NE(accepted, INVALID_SOCKET);
    server = std::make_unique<Connection>(accepted, "127.0.0.1", 0, checkInterval);
    server->SetUpForServing();
  }
  ~Pair() {
    server.reset();
    if (client != INVALID_SOCKET) closesocket(client);
  }

  void Send(size_t count) {
    std::string bytes(count, 'b');
    EXPECT_EQ(send(client, bytes.data(), static_cast<int>(count), 0), static_cast<int>(count));
  }
  size_t Read(size_t count) {
    std::string buffer(count, '\0');
    return server->ReadBody(reinterpret_cast<uint8_t*>(buffer.data()), count);
  }
  // The client leaves with a reset (no lingering) or an orderly close.
  void Reset() {
    linger off{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    closesocket(client);
    client = INVALID_SOCKET;
  }
  void Close() {
    shutdown(client, SD_SEND);
    closesocket(client);
    client = INVALID_SOCKET;
  }
};

// As the server's event loop reads a head: whatever has arrived, whenever
// the socket is readable, until the head is complete.
HeadStatus ReadHead(Connection& connection, RequestHead* head) {
  for (;;) {
    const HeadStatus status = connection.TakeHead(head, kMaxHeadBytes);
    if (status != HeadStatus::kIncomplete) return status;
    WSAPOLLFD polled{connection.socket(), POLLRDNORM, 0};
    if (WSAPoll(&polled, 1, 5000) != 1 || !connection.ReceiveHeadBytes(kMaxHeadBytes))
      return status;
  }
}

// What IsClientConnected settles on within a few seconds: gone, or still
// there after the socket was asked three more times.
bool SettlesOn(Connection& connection) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const int checksBefore = connection.SocketChecks();
  while (std::chrono::steady_clock::now() < deadline) {
    if (!connection.IsClientConnected()) return false;
    if (connection.SocketChecks() >= checksBefore + 3) return true;
    std::this_thread::sleep_for(2ms);
  }
  return connection.IsClientConnected();
}

TEST(Connection, ClientGoneOrStillThere) {
  WinsockForTests winsock;
  enum class Ending { kStays, kReset, kClose };
  struct Case {
    const char* name;
    int64_t declared;
    size_t sent;
    Ending ending;
    bool connected;
  } cases[] = {
      {"sending, nothing more yet", 1000, 100, Ending::kStays, true},
      {"reset in the middle of the body", 1000, 100, Ending::kReset, false},
      {"closed before the body ended", 1000, 100, Ending::kClose, false},
      {"closed after the whole body, waiting for the answer", 100, 100, Ending::kClose, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair(kClientCheckInterval);
    pair.server->BeginBody(c.declared, false);
    pair.Send(c.sent);
    EXPECT_EQ(pair.Read(c.sent), c.sent);
    if (c.ending == Ending::kReset) pair.Reset();
    if (c.ending == Ending::kClose) pair.Close();
    std::this_thread::sleep_for(50ms);  // for the ending to reach the server's end
    EXPECT_EQ(SettlesOn(*pair.server), c.connected);
  }
}

// A page thread waits on its client only while the client keeps the
// minimum pace: the body is read whole from a client above it, and a silent
// or slower one is given up once its credit is spent; the same for a
// client that does not take the answer.
TEST(Connection, WaitsOnlyWhileTheClientKeepsThePace) {
  WinsockForTests winsock;
  constexpr auto kCredit = 500ms;
  struct Case {
    const char* name;
    size_t bytesPerTick;  // every 50 ms, for 2 s
    bool whole;
  } cases[] = {
      {"silent", 0, false},
      {"20 bytes a second", 1, false},
      {"2000 bytes a second", 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair(kClientCheckInterval);
    pair.server->SetPace(kCredit, kCredit);
    const size_t declared = 40 * c.bytesPerTick + 1;
    pair.server->BeginBody(static_cast<int64_t>(declared), false);
    std::thread client([&] {
      for (int tick = 0; tick < 40; ++tick) {
        if (c.bytesPerTick) pair.Send(c.bytesPerTick);
        std::this_thread::sleep_for(50ms);
      }
      pair.Send(1);
    });
    const auto start = std::chrono::steady_clock::now();
    const size_t got = pair.Read(declared);
    const auto waited = std::chrono::steady_clock::now() - start;
    client.join();
    if (c.whole) {
      EXPECT_EQ(got, declared);
    } else {
      EXPECT_LT(got, declared);
      EXPECT_GE(waited, kCredit);
      EXPECT_LT(waited, 1500ms) << "given up long before the client's last byte";
      EXPECT_FALSE(pair.server->IsClientConnected());
    }
  }

  // A client that never reads the answer.
  Pair pair(kClientCheckInterval);
  pair.server->SetPace(kCredit, kCredit);
  const std::string answer(64 << 20, 'a');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(pair.server->Send(answer));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// While the body arrives every receive says the client is there: asking
// before every block costs no look at the socket.
TEST(Connection, ReceivesAnswerForTheClient) {
  WinsockForTests winsock;
  Pair pair(kNever);
  pair.server->BeginBody(10 * 4096, false);
  for (int block = 0; block < 10; ++block) {
    pair.Send(4096);
    EXPECT_EQ(pair.Read(4096), 4096u);
    EXPECT_TRUE(pair.server->IsClientConnected());
  }
  EXPECT_EQ(pair.server->SocketChecks(), 0);

  // Nothing heard yet: the first question looks, the next ones trust it.
  Pair silent(kNever);
  silent.server->BeginBody(100, false);
  for (int i = 0; i < 10000; ++i) EXPECT_TRUE(silent.server->IsClientConnected());
  EXPECT_EQ(silent.server->SocketChecks(), 1);
}

// The page reads the body in blocks of any size and gets exactly its bytes;
// what follows it on a kept-alive connection is the next request.
TEST(Connection, BodyEndsWhereTheNextRequestBegins) {
  WinsockForTests winsock;
  std::string body(2500000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4096);
  const std::string stream = "POST /up.asp HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\n\r\n" + body + "GET /next.asp HTTP/1.1\r\nHost: x\r\n\r\n";
  for (size_t blockSize : {1000u, 102400u, 3000000u}) {
    SCOPED_TRACE("blocks of " + std::to_string(blockSize));
    Pair pair(kClientCheckInterval);
    std::thread client([&] {
      for (size_t sent = 0; sent < stream.size();) {
        int n = send(pair.client, stream.data() + sent, static_cast<int>(std::min<size_t>(65536, stream.size() - sent)), 0);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    });
    RequestHead head;
    ASSERT_EQ(ReadHead(*pair.server, &head), HeadStatus::kComplete);
    pair.server->BeginBody(head.contentLength, false);
    std::string got, block(blockSize, '\0');
    while (size_t n = pair.server->ReadBody(reinterpret_cast<uint8_t*>(block.data()), blockSize)) got.append(block, 0, n);
    client.join();
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    ASSERT_EQ(ReadHead(*pair.server, &head), HeadStatus::kComplete);
    EXPECT_EQ(head.target, "/next.asp");
  }
}

// A head arriving a byte at a time is found once its last byte is in, and
// bytes past the limit are never taken in.
TEST(Connection, HeadsInPiecesAndPastTheLimit) {
  WinsockForTests winsock;
  const std::string first = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string stream = first + "GET /b HTTP/1.1\r\nHost: x\r\n\r\n";
  Pair pair(kClientCheckInterval);
  RequestHead got;
  for (size_t i = 0; i + 1 < first.size(); ++i) {
    EXPECT_EQ(send(pair.client, &stream[i], 1, 0), 1);
    WSAPOLLFD polled{pair.server->socket(), POLLRDNORM, 0};
    ASSERT_EQ(WSAPoll(&polled, 1, 5000), 1);
    ASSERT_TRUE(pair.server->ReceiveHeadBytes(kMaxHeadBytes));
    ASSERT_EQ(pair.server->TakeHead(&got, kMaxHeadBytes), HeadStatus::kIncomplete) << i;
  }
  const size_t lastBytes = stream.size() - first.size() + 1;
  EXPECT_EQ(send(pair.client, stream.data() + first.size() - 1, static_cast<int>(lastBytes), 0),
            static_cast<int>(lastBytes));
  ASSERT_EQ(ReadHead(*pair.server, &got), HeadStatus::kComplete);
  EXPECT_EQ(got.target, "/a");
  ASSERT_EQ(ReadHead(*pair.server, &got), HeadStatus::kComplete);
  EXPECT_EQ(got.target, "/b");

  const size_t limit = 100;
  Pair flooded(kClientCheckInterval);
  const std::string lineBreaks(4 * limit, '\n');
  EXPECT_EQ(send(flooded.client, lineBreaks.data(), static_cast<int>(lineBreaks.size()), 0),
            4 * static_cast<int>(limit));
  HeadStatus status = HeadStatus::kIncomplete;
  int receives = 0;
  while (status == HeadStatus::kIncomplete && receives++ < 10) {
    ASSERT_TRUE(flooded.server->ReceiveHeadBytes(limit));
    status = flooded.server->TakeHead(&got, limit);
  }
  EXPECT_EQ(status, HeadStatus::kTooLarge);
  // What the limit left in the socket is still there.
  char left[1024];
  EXPECT_EQ(recv(flooded.server->socket(), left, sizeof left, 0), static_cast<int>(3 * limit));
}

// A client that goes while the page waits for its bytes is gone at once,
// whatever the interval.
TEST(Connection, AFailedReceiveEndsTheClient) {
  WinsockForTests winsock;
  Pair pair(kNever);
  pair.server->BeginBody(1000, false);
  pair.Send(100);
  EXPECT_TRUE(pair.server->IsClientConnected());
  pair.Reset();
  EXPECT_LT(pair.Read(1000), 1000u);
  EXPECT_FALSE(pair.server->IsClientConnected());
}

}  // namespace
}  // namespace asphost
