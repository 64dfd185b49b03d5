// The HTTP server over Winsock: one event loop accepts every connection and
// reads every request head, with one WSAPoll over all of them; a request
// takes a page thread only once its head is complete, and a head that cannot
// be served is refused by the loop itself. A client that is slow, silent or
// hostile while its head arrives holds a socket and at most kMaxHeadBytes,
// never a thread, and never keeps other clients waiting. The loop also waits
// for the start of each body, and sends the files that pages hand it.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "asphost/http_server/connection.h"

namespace asphost {

// A head must be complete this long after its first byte: a client sends
// one in a single packet, a client trickling it holds a socket for no more.
constexpr std::chrono::milliseconds kHeadTimeout{20000};
// A connection that sends nothing of a head, new or kept alive between
// requests, is closed after this long (browsers open another one).
constexpr std::chrono::milliseconds kIdleTimeout{15000};
// Connections open at once, waiting for a head or served. A waiting one
// costs a socket and at most kMaxHeadBytes; when all are taken, the waiting
// one closest to its deadline makes room for the new one, so that clients
// holding connections open cannot lock others out.
constexpr int kMaxConnections = 2000;
// Requests served at once, each on a thread with its own apartment; more
// wait in line for a thread (as ASP's request queue does). A thread waiting
// on a slow client (for the body, or to take the answer) does not count:
// another thread serves the line meanwhile, up to kMaxWaitingThreads more.
constexpr int kMaxPageThreads = 64;
constexpr int kMaxWaitingThreads = 192;
// A request's body, as IIS's maxAllowedContentLength: a longer one is
// refused with 413 before any of it is read. The default takes the largest
// body whose Request.TotalBytes a script still reads as a positive number.
constexpr int64_t kMaxBodyBytes = 0x7FFFFFFF;
// The loop waits for this much of a body (or all of a shorter one) before
// the request takes a page thread, so that heads sent without their body
// cost a socket, never a thread. Under the same pace as a page thread's
// waits (kClientCredit, kMinBytesPerSecond): 408 when it lags. A client
// that asked for 100 Continue is not waited for: the page decides.
constexpr size_t kBodyStartBytes = 16384;
// After the last answer on a connection, what the client still sends is
// read and dropped for up to this long and kLingerBytes: closing a socket
// with unread bytes resets the connection, and a client that was still
// sending would lose the answer.
constexpr std::chrono::milliseconds kLingerTimeout{2000};
constexpr size_t kLingerBytes = 1 << 20;

struct ServerLimits {
  size_t maxHeadBytes = kMaxHeadBytes;
  std::chrono::milliseconds headTimeout = kHeadTimeout;
  std::chrono::milliseconds idleTimeout = kIdleTimeout;
  int maxConnections = kMaxConnections;
  int maxPageThreads = kMaxPageThreads;
  int maxWaitingThreads = kMaxWaitingThreads;
  std::chrono::milliseconds lingerTimeout = kLingerTimeout;
  int64_t maxBodyBytes = kMaxBodyBytes;
  size_t bodyStartBytes = kBodyStartBytes;
  std::chrono::milliseconds clientCredit = kClientCredit;
};

// What the server calls; Serve runs on a page thread, the others as noted.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // On a page thread, before its first request and after its last.
  virtual void ThreadStarted() {}
  virtual void ThreadEnding() {}
  // On the event loop, for each complete head before it is queued: must
  // not wait. An exception ends that connection with 503 (tests throw here).
  virtual void HeadArrived(const RequestHead&) {}
  // Answers the request. False when the connection must close after the
  // answer. An exception ends the connection, with 500 when no answer has
  // begun.
  virtual bool Serve(Connection& connection, const RequestHead& head) = 0;
};

class HttpServer : private ClientWaitObserver {
 public:
  explicit HttpServer(RequestHandler& handler, ServerLimits limits = {});
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds and listens; false with a message on stderr when it cannot.
  bool Listen(const std::string& address, int port);
  int port() const { return port_; }

  // Serves until Stop, then waits for the requests in progress.
  void Run();
  // Safe from any thread (a console's Ctrl+C handler).
  void Stop();

 private:
  enum class Phase { kIdle, kHead, kBodyStart, kSendingFile, kLingering };
  // A connection the event loop owns.
  struct Waiting {
    std::unique_ptr<Connection> connection;
    Phase phase;
    std::chrono::steady_clock::time_point deadline;
    size_t lingerBudget = kLingerBytes;
    bool keepAlive = false;  // in kSendingFile: after the file
    RequestHead head = {};  // in kBodyStart
  };
  // A request for a page thread.
  struct Request {
    std::unique_ptr<Connection> connection;
    RequestHead head;
  };
  // A connection back from a page thread.
  struct Returned {
    std::unique_ptr<Connection> connection;
    bool keepAlive;
  };

  // The event loop's steps; each false when the connection is done with.
  bool OnReadable(Waiting& waiting, std::chrono::steady_clock::time_point now);
  bool OnWritable(Waiting& waiting, std::chrono::steady_clock::time_point now);
  bool AfterAnswer(Waiting& waiting, bool keepAlive, std::chrono::steady_clock::time_point now);
  bool TakeRequest(Waiting& waiting, std::chrono::steady_clock::time_point now);
  void Linger(Waiting& waiting, std::chrono::steady_clock::time_point now);
  void OnDeadline(Waiting& waiting);
  void AcceptAll(std::chrono::steady_clock::time_point now);
  void AdoptReturned(std::chrono::steady_clock::time_point now);
  bool EvictOne();
  int OpenConnections() const;

  size_t BodyStart(const RequestHead& head) const;
  void Refuse(Waiting& waiting, const std::string& answer, std::chrono::steady_clock::time_point now);

  void Queue(Request request);
  // With mutex_ held: a thread for what is queued if the limits allow;
  // false when none could start and none runs.
  bool StartThreadIfNeeded();
  void WaitBegins() override;
  void WaitEnds() override;
  void ServeQueue();
  bool ServeOne(Request& request);
  void Return(std::unique_ptr<Connection> connection, bool keepAlive);
  void Wake();

  RequestHandler& handler_;
  ServerLimits limits_;
  SOCKET listener_ = INVALID_SOCKET;
  // A datagram to wake_ (sent through wakeSender_) ends the loop's wait
  // when a page thread returns a connection, or on Stop.
  SOCKET wake_ = INVALID_SOCKET;
  SOCKET wakeSender_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::vector<Waiting> waiting_;  // the event loop's own
  std::chrono::steady_clock::time_point acceptPausedUntil_;
  // Connections handed to page threads and not yet back in waiting_.
  std::atomic<int> away_{0};

  std::mutex mutex_;  // guards what follows
  std::condition_variable queued_;
  std::condition_variable threadEnded_;
  std::deque<Request> queue_;
  std::vector<Returned> returned_;
  int threads_ = 0;
  int idleThreads_ = 0;
  int waitingThreads_ = 0;  // waiting on their clients
};

}  // namespace asphost
