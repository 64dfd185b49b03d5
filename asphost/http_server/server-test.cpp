// The server's event loop against clients on 127.0.0.1 in the same process,
// with limits scaled down so that deadlines pass in a moment: heads that
// trickle or never come, floods, more connections than allowed, failures
// inside one connection, and more requests than page threads.
#include "asphost/http_server/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "asphost/http_server/winsock_for_tests.h"

namespace asphost {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Answers with the target; "/slow" takes a while, "/throw" fails in the
// page thread, "/fail-head" on the event loop, "/read" reads the body
// first and answers with how much it got, then closes; "/file" answers
// with the file at filePath, the rest of it left to the loop when the
// client is slow to take it.
class EchoHandler : public RequestHandler {
 public:
  std::wstring filePath;

  void HeadArrived(const RequestHead& head) override {
    if (head.target == "/fail-head") throw std::bad_alloc();
  }
  bool Serve(Connection& connection, const RequestHead& head) override {
    ++served;
    if (head.target == "/throw") throw std::runtime_error("the page failed");
    if (head.target == "/slow") std::this_thread::sleep_for(200ms);
    if (head.target == "/file") {
      HANDLE file = CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
      LARGE_INTEGER size{};
      GetFileSizeEx(file, &size);
      connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size.QuadPart) + "\r\n\r\n");
      connection.SendFileLater(file, static_cast<uint64_t>(size.QuadPart));
      connection.SendFileWhileTaken();
      return head.KeepAlive();
    }
    if (head.target == "/read") {
      connection.BeginBody(head.contentLength, head.ExpectsContinue());
      uint8_t buffer[4096];
      size_t total = 0;
      for (size_t got; (got = connection.ReadBody(buffer, sizeof buffer)) > 0;) total += got;
      const std::string text = "read " + std::to_string(total);
      connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) +
                      "\r\nConnection: close\r\n\r\n" + text);
      return false;
    }
    connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(head.target.size()) +
                    "\r\n\r\n" + head.target);
    return head.KeepAlive();
  }
  std::atomic<int> served{0};
};

ServerLimits SmallLimits() {
  ServerLimits limits;
  limits.maxHeadBytes = 1024;
  limits.headTimeout = 800ms;
  limits.idleTimeout = 500ms;
  limits.maxConnections = 16;
  limits.maxPageThreads = 2;
  limits.lingerTimeout = 300ms;
  return limits;
}

struct TestServer {
  EchoHandler handler;
  HttpServer server;
  std::thread loop;

  explicit TestServer(ServerLimits limits = SmallLimits()) : server(handler, limits) {
    EXPECT_TRUE(server.Listen("127.0.0.1", 0));
    loop = std::thread([this] { server.Run(); });
  }
  ~TestServer() {
    server.Stop();
    loop.join();
  }
};

struct Client {
  SOCKET socket = INVALID_SOCKET;

  explicit Client(int port) {
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(port));
    EXPECT_EQ(connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    DWORD timeout = 10000;  // a test that goes wrong ends rather than hangs
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
  }
  ~Client() { closesocket(socket); }

  bool Send(const std::string& bytes) {
    return send(socket, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
  }
  // Everything until the server closes the connection.
  std::string UntilClosed() {
    std::string text;
    char buffer[4096];
    for (int got; (got = recv(socket, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, got);
    return text;
  }
  // One answer of EchoHandler's: its head and its body of the given size.
  std::string Answer(size_t bodySize) {
    std::string text;
    char c;
    while (text.find("\r\n\r\n") == std::string::npos && recv(socket, &c, 1, 0) == 1) text += c;
    for (size_t i = 0; i < bodySize && recv(socket, &c, 1, 0) == 1; ++i) text += c;
    return text;
  }
};

std::string Get(const std::string& target, const char* extra = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: x\r\n" + extra + "\r\n";
}

// An ordinary client's request, on its own connection, while others do what
// they do.
void ExpectServed(int port, const std::string& target = "/ordinary") {
  Client client(port);
  ASSERT_TRUE(client.Send(Get(target, "Connection: close\r\n")));
  const std::string answer = client.UntilClosed();
  EXPECT_EQ(answer.substr(0, 15), "HTTP/1.1 200 OK") << target;
  EXPECT_EQ(answer.substr(answer.size() - target.size()), target);
}

TEST(HttpServer, KeptAliveAndPipelinedRequests) {
  WinsockForTests winsock;
  TestServer test;
  Client client(test.server.port());
  ASSERT_TRUE(client.Send(Get("/one") + Get("/two")));
  EXPECT_EQ(client.Answer(4), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n/one");
  EXPECT_EQ(client.Answer(4), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n/two");
  ASSERT_TRUE(client.Send(Get("/three", "Connection: close\r\n")));
  EXPECT_EQ(client.UntilClosed(), "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n/three");
}

// A head that trickles gets 408 at its deadline; a connection that sends
// nothing is closed at the idle time without a word; neither holds up an
// ordinary client meanwhile.
TEST(HttpServer, SlowAndSilentClientsMeetTheirDeadlines) {
  WinsockForTests winsock;
  const ServerLimits limits = SmallLimits();
  TestServer test(limits);
  const Clock::time_point start = Clock::now();
  Client silent(test.server.port());
  Client trickling(test.server.port());
  std::thread trickle([&] {
    for (char c : "GET /never HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(100, 'z')) {
      if (!trickling.Send(std::string(1, c))) break;
      std::this_thread::sleep_for(20ms);
    }
  });
  ExpectServed(test.server.port());
  EXPECT_EQ(silent.UntilClosed(), "");
  const auto silentFor = Clock::now() - start;
  EXPECT_EQ(trickling.UntilClosed().substr(0, 13), "HTTP/1.1 408 ");
  const auto tricklingFor = Clock::now() - start;
  trickle.join();
  EXPECT_GE(silentFor, limits.idleTimeout);
  EXPECT_GE(tricklingFor, limits.headTimeout);
  EXPECT_LT(tricklingFor, 100 * 20ms) << "the head is cut short before its last byte";
  ExpectServed(test.server.port());
}

// Whatever comes before the end of a head counts toward its limit, and the
// client hears 431 at once, however much more it sends. The loop refuses
// heads that cannot be served itself: floods and bad heads take no page
// thread.
TEST(HttpServer, RefusedHeadsTakeNoPageThread) {
  WinsockForTests winsock;
  TestServer test;
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\n";
  struct Case {
    const char* name;
    std::string start, unit;  // unit repeated for 4 MB, or sent once when empty
    const char* status;
  } cases[] = {
      {"a flood of empty lines", "", "\r\n", "HTTP/1.1 431 "},
      {"a header line without end", request + "X-Long: ", "a", "HTTP/1.1 431 "},
      {"header lines without end", request, "X-Many: y\r\n", "HTTP/1.1 431 "},
      {"a malformed head", "GARBAGE\r\n\r\n", "", "HTTP/1.1 400 "},
      {"a chunked body", request + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "", "HTTP/1.1 411 "},
      {"a body over the limit", request + "Content-Length: 2147483648\r\n\r\n", "", "HTTP/1.1 413 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(test.server.port());
    std::string flood = c.start;
    while (!c.unit.empty() && flood.size() < 65536) flood += c.unit;
    std::thread sender([&] {
      for (int i = 0; i < (c.unit.empty() ? 1 : 64) && client.Send(flood); ++i) {
      }
    });
    EXPECT_EQ(client.UntilClosed().substr(0, 13), c.status);
    shutdown(client.socket, SD_BOTH);
    sender.join();
  }
  EXPECT_EQ(test.handler.served, 0);
  ExpectServed(test.server.port());
}

// When every connection is taken, the waiting one nearest its deadline
// makes room: clients that open connections and sit on them cannot lock
// out the next one.
TEST(HttpServer, ANewConnectionTakesTheRoomOfTheOldestWaiting) {
  WinsockForTests winsock;
  ServerLimits limits = SmallLimits();
  limits.idleTimeout = 60s;
  TestServer test(limits);
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < limits.maxConnections; ++i) {
    idle.push_back(std::make_unique<Client>(test.server.port()));
    std::this_thread::sleep_for(10ms);  // accepted in this order
  }
  ExpectServed(test.server.port());
  EXPECT_EQ(idle.front()->UntilClosed(), "");
  // The others are still open: a request on one is answered.
  ASSERT_TRUE(idle.back()->Send(Get("/last", "Connection: close\r\n")));
  EXPECT_EQ(idle.back()->UntilClosed().substr(0, 15), "HTTP/1.1 200 OK");
}

// A failure while one connection's head is read or its request is served
// ends that connection, with an answer, and nothing else.
TEST(HttpServer, AFailureEndsOnlyItsConnection) {
  WinsockForTests winsock;
  TestServer test;
  struct Case {
    const char* target;
    const char* status;
  } cases[] = {
      {"/fail-head", "HTTP/1.1 503 "},
      {"/throw", "HTTP/1.1 500 "},
  };
  Client bystander(test.server.port());
  for (const Case& c : cases) {
    Client client(test.server.port());
    ASSERT_TRUE(client.Send(Get(c.target)));
    EXPECT_EQ(client.UntilClosed().substr(0, 13), c.status) << c.target;
    ASSERT_TRUE(bystander.Send(Get("/bystander")));
    EXPECT_EQ(bystander.Answer(10).substr(0, 15), "HTTP/1.1 200 OK");
  }
}

std::string Post(const std::string& target, size_t declared) {
  return "POST " + target + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n";
}

// Heads sent without their body wait on the loop, never on a page thread,
// and meet the pace a page thread's waits have: silent or slower than the
// minimum rate, 408 once the credit is spent. A body that comes is read.
TEST(HttpServer, TheStartOfABodyIsAwaitedOnTheLoop) {
  WinsockForTests winsock;
  ServerLimits limits = SmallLimits();
  limits.clientCredit = 1000ms;
  limits.bodyStartBytes = 64;
  TestServer test(limits);
  const Clock::time_point start = Clock::now();
  std::vector<std::unique_ptr<Client>> silent;
  for (int i = 0; i < 2 * limits.maxPageThreads; ++i) {
    silent.push_back(std::make_unique<Client>(test.server.port()));
    ASSERT_TRUE(silent.back()->Send(Post("/read", 1000)));
  }
  Client trickling(test.server.port());
  ASSERT_TRUE(trickling.Send(Post("/read", 1000)));
  std::thread trickle([&] {
    for (int i = 0; i < 40 && trickling.Send("x"); ++i) std::this_thread::sleep_for(100ms);
  });
  ExpectServed(test.server.port());
  Client whole(test.server.port());
  ASSERT_TRUE(whole.Send(Post("/read", 100) + std::string(100, 'b')));
  const std::string answer = whole.UntilClosed();
  EXPECT_EQ(answer.substr(answer.size() - 8), "read 100");
  for (auto& client : silent) EXPECT_EQ(client->UntilClosed().substr(0, 13), "HTTP/1.1 408 ");
  EXPECT_GE(Clock::now() - start, limits.clientCredit);
  EXPECT_EQ(trickling.UntilClosed().substr(0, 13), "HTTP/1.1 408 ");
  EXPECT_LT(Clock::now() - start, 3900ms) << "10 bytes a second is below the minimum rate";
  trickle.join();
  EXPECT_EQ(test.handler.served, 2) << "the ordinary client and the whole body";
}

// A page thread that waits on its client (a body that stalls after its
// start) lets another thread take the line meanwhile; the waits end when
// the client leaves.
TEST(HttpServer, AThreadWaitingOnItsClientLetsTheLineMove) {
  WinsockForTests winsock;
  ServerLimits limits = SmallLimits();
  limits.bodyStartBytes = 8;
  TestServer test(limits);
  std::vector<std::unique_ptr<Client>> stalled;
  for (int i = 0; i < 2 * limits.maxPageThreads; ++i) {
    stalled.push_back(std::make_unique<Client>(test.server.port()));
    ASSERT_TRUE(stalled.back()->Send(Post("/read", 1000) + "12345678"));
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(test.handler.served, 2 * limits.maxPageThreads) << "each on a page thread, waiting";
  ExpectServed(test.server.port());
  // Gone before the whole body: the waits end at once, not when the
  // credit (20 s) is spent.
  const Clock::time_point left = Clock::now();
  for (auto& client : stalled) shutdown(client->socket, SD_SEND);
  for (auto& client : stalled) EXPECT_EQ(client->UntilClosed(), "");
  EXPECT_LT(Clock::now() - left, 5s);
}

// Readers that do not take a file hold no page thread (none may wait
// here): the loop sends the rest. One that pauses first, and so is handed
// to the loop, gets every byte and then its next request on the same
// connection.
TEST(HttpServer, SlowReadersOfAFileHoldNoPageThread) {
  WinsockForTests winsock;
  wchar_t folder[MAX_PATH], path[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  ASSERT_NE(GetTempFileNameW(folder, L"srv", 0, path), 0u);
  std::string content(8 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + i / 65536);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);

  ServerLimits limits = SmallLimits();
  limits.maxWaitingThreads = 0;
  {
    TestServer test(limits);
    test.handler.filePath = path;
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 2 * limits.maxPageThreads; ++i) {
      stalled.push_back(std::make_unique<Client>(test.server.port()));
      ASSERT_TRUE(stalled.back()->Send(Get("/file")));
    }
    std::this_thread::sleep_for(200ms);
    ExpectServed(test.server.port());

    Client reader(test.server.port());
    int small = 65536;  // so that the pause leaves most of the file unsent
    setsockopt(reader.socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    ASSERT_TRUE(reader.Send(Get("/file") + Get("/after", "Connection: close\r\n")));
    std::this_thread::sleep_for(500ms);
    const std::string answer = reader.UntilClosed();
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(content.size()) + "\r\n\r\n";
    ASSERT_EQ(answer.size(), head.size() + content.size() + 44);
    EXPECT_EQ(answer.substr(0, head.size()), head);
    EXPECT_TRUE(answer.compare(head.size(), content.size(), content) == 0) << "the file's bytes";
    EXPECT_EQ(answer.substr(head.size() + content.size()), "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n/after");
  }
  DeleteFileW(path);
}

// More requests at once than page threads: the rest wait their turn.
TEST(HttpServer, RequestsBeyondThePageThreadsWaitTheirTurn) {
  WinsockForTests winsock;
  TestServer test;
  std::vector<std::thread> clients;
  for (int i = 0; i < 8; ++i)
    clients.emplace_back([&] { ExpectServed(test.server.port(), "/slow"); });
  for (std::thread& client : clients) client.join();
}

}  // namespace
}  // namespace asphost
