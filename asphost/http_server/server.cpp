#include "asphost/http_server/server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace asphost {
namespace {

using Clock = std::chrono::steady_clock;

// Answers sent where nothing may be allocated or waited for; the status
// line says it all.
constexpr char kUnavailable[] =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kTimedOut[] =
    "HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr char kFailed[] =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// A short plain-text answer after which the connection closes.
std::string PlainAnswer(int code, const char* text) {
  return "HTTP/1.1 " + std::to_string(code) + " " + ReasonPhrase(code) +
         "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(strlen(text)) +
         "\r\nConnection: close\r\n\r\n" + text;
}

// The answer to a head that cannot be served, from the loop: refusing it
// costs no page thread.
std::string Refusal(HeadStatus status) {
  if (status == HeadStatus::kTooLarge) return PlainAnswer(431, "The request's header is too large.");
  if (status == HeadStatus::kUnsupportedBody) return PlainAnswer(411, "Send the request body with a Content-Length.");
  return PlainAnswer(400, "The request could not be understood.");
}

// Accepted in one turn of the loop at most, so that a burst of connections
// does not keep the loop from the others.
constexpr int kAcceptsPerTurn = 64;
// How long accepting pauses when the system has no socket to give.
constexpr std::chrono::milliseconds kAcceptPause{50};
// The loop looks at the time at least this often.
constexpr std::chrono::milliseconds kLongestWait{1000};

void SetNonBlocking(SOCKET socket) {
  u_long nonBlocking = 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
}

// Allocates nothing: it reports running out of memory.
void Log(const char* what, const char* detail, const char* target = "") {
  fprintf(stderr, "asphost: %s%s%s: %s\n", what, *target ? " " : "", target, detail);
  fflush(stderr);
}

}  // namespace

HttpServer::HttpServer(RequestHandler& handler, ServerLimits limits)
    : handler_(handler), limits_(limits) {}

HttpServer::~HttpServer() {
  for (SOCKET socket : {listener_, wake_, wakeSender_})
    if (socket != INVALID_SOCKET) closesocket(socket);
}

bool HttpServer::Listen(const std::string& address, int port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    fprintf(stderr, "asphost: '%s' is not an IPv4 address\n", address.c_str());
    return false;
  }
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL exclusive = TRUE;
  setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
             sizeof exclusive);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener_, SOMAXCONN) != 0) {
    fprintf(stderr, "asphost: cannot listen on %s:%d (error %d)\n", address.c_str(), port,
            WSAGetLastError());
    return false;
  }
  int size = sizeof local;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&local), &size);
  port_ = ntohs(local.sin_port);
  // Accepted sockets inherit this: the loop never waits on one.
  SetNonBlocking(listener_);

  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size = sizeof loopback;
  wake_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  wakeSender_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (bind(wake_, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0 ||
      getsockname(wake_, reinterpret_cast<sockaddr*>(&loopback), &size) != 0 ||
      connect(wakeSender_, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) != 0) {
    fprintf(stderr, "asphost: cannot make the loop's wake-up socket (error %d)\n",
            WSAGetLastError());
    return false;
  }
  SetNonBlocking(wake_);
  SetNonBlocking(wakeSender_);
  return true;
}

void HttpServer::Stop() {
  stopping_ = true;
  Wake();
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.notify_all();
}

void HttpServer::Wake() {
  // A full queue of wake-ups wakes the loop as well as this one would.
  send(wakeSender_, "w", 1, 0);
}

int HttpServer::OpenConnections() const { return static_cast<int>(waiting_.size()) + away_; }

void HttpServer::Run() {
  // Sized once for the most there can be: the loop allocates nothing per turn.
  waiting_.reserve(static_cast<size_t>(limits_.maxConnections) + kAcceptsPerTurn);
  std::vector<WSAPOLLFD> polled;
  polled.reserve(waiting_.capacity() + 2);
  while (!stopping_) {
    Clock::time_point now = Clock::now();
    try {
      AdoptReturned(now);
    } catch (const std::exception& e) {
      Log("cannot take back connections", e.what());
    }
    polled.clear();
    Clock::time_point wakeAt = now + kLongestWait;
    for (const Waiting& waiting : waiting_) {
      polled.push_back({waiting.connection->socket(),
                        static_cast<SHORT>(waiting.phase == Phase::kSendingFile ? POLLWRNORM : POLLRDNORM), 0});
      wakeAt = std::min(wakeAt, waiting.deadline);
    }
    const size_t polledConnections = polled.size();
    polled.push_back({wake_, POLLRDNORM, 0});
    const bool accepting = now >= acceptPausedUntil_;
    if (accepting)
      polled.push_back({listener_, POLLRDNORM, 0});
    else
      wakeAt = std::min(wakeAt, acceptPausedUntil_);
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count() + 1;
    if (WSAPoll(polled.data(), static_cast<ULONG>(polled.size()),
                static_cast<int>(std::max<int64_t>(wait, 0))) < 0) {
      Sleep(10);  // not expected; never spin on it
      continue;
    }
    now = Clock::now();

    size_t kept = 0;
    for (size_t i = 0; i < polledConnections; ++i) {
      Waiting& waiting = waiting_[i];
      bool keep = polled[i].revents == 0 || (waiting.phase == Phase::kSendingFile ? OnWritable(waiting, now)
                                                                                  : OnReadable(waiting, now));
      if (keep && now >= waiting.deadline) {
        OnDeadline(waiting);
        keep = false;
      }
      if (!keep) continue;
      if (kept != i) waiting_[kept] = std::move(waiting);
      ++kept;
    }
    waiting_.erase(waiting_.begin() + static_cast<std::ptrdiff_t>(kept),
                   waiting_.begin() + static_cast<std::ptrdiff_t>(polledConnections));

    if (polled[polledConnections].revents != 0) {
      char drained[64];
      while (recv(wake_, drained, sizeof drained, 0) > 0) {
      }
    }
    if (accepting && polled.back().revents != 0) AcceptAll(now);
  }

  waiting_.clear();
  std::unique_lock<std::mutex> lock(mutex_);
  queued_.notify_all();
  // Pages in progress end by themselves: a client that stalls is given up
  // once its credit is spent.
  threadEnded_.wait(lock, [this] { return threads_ == 0; });
  queue_.clear();
  returned_.clear();
}

bool HttpServer::OnReadable(Waiting& waiting, Clock::time_point now) {
  Connection& connection = *waiting.connection;
  try {
    if (waiting.phase == Phase::kLingering) return connection.Discard(&waiting.lingerBudget);
    const bool bodyStart = waiting.phase == Phase::kBodyStart;
    const size_t before = connection.PendingBytes();
    if (!connection.ReceiveHeadBytes(bodyStart ? BodyStart(waiting.head) : limits_.maxHeadBytes)) return false;
    if (waiting.phase == Phase::kIdle) {
      waiting.phase = Phase::kHead;
      waiting.deadline = now + limits_.headTimeout;
    } else if (bodyStart) {
      // The pace of a page thread's waits: what arrives earns time.
      waiting.deadline = std::min(now + limits_.clientCredit,
                                  waiting.deadline + CreditEarnedBy(connection.PendingBytes() - before));
    }
    return !TakeRequest(waiting, now);
  } catch (const std::exception& e) {
    // This connection's failure (out of memory, most likely) is its own.
    Log("cannot read a request", e.what());
    if (waiting.connection) waiting.connection->SendWithoutWaiting(kUnavailable);
    return false;
  }
}

bool HttpServer::OnWritable(Waiting& waiting, Clock::time_point now) {
  try {
    size_t sent = 0;
    if (!waiting.connection->SendFileBytes(&sent)) return false;
    // The pace of a page thread's waits: what the client takes earns time.
    waiting.deadline = std::min(now + limits_.clientCredit, waiting.deadline + CreditEarnedBy(sent));
    return waiting.connection->HasFileToSend() || AfterAnswer(waiting, waiting.keepAlive, now);
  } catch (const std::exception& e) {
    Log("cannot send a file", e.what());
    return false;
  }
}

// After an answer the connection waits for the next request (which may be
// here already), or lingers before it closes. False when it has gone: to a
// page thread with the next request, or for good.
bool HttpServer::AfterAnswer(Waiting& waiting, bool keepAlive, Clock::time_point now) {
  if (!keepAlive) {
    waiting.connection->EndSending();
    Linger(waiting, now);
    return true;
  }
  waiting.phase = Phase::kIdle;
  waiting.deadline = now + limits_.idleTimeout;
  if (!waiting.connection->HasPendingBytes()) return true;
  // The client sent its next request with the last one.
  waiting.phase = Phase::kHead;
  waiting.deadline = now + limits_.headTimeout;
  try {
    return !TakeRequest(waiting, now);
  } catch (const std::exception& e) {
    Log("cannot read a request", e.what());
    if (waiting.connection) waiting.connection->SendWithoutWaiting(kUnavailable);
    return false;
  }
}

size_t HttpServer::BodyStart(const RequestHead& head) const {
  if (head.ExpectsContinue()) return 0;  // it sends nothing before the page asks
  return static_cast<size_t>(std::min<int64_t>(head.contentLength, static_cast<int64_t>(limits_.bodyStartBytes)));
}

void HttpServer::Refuse(Waiting& waiting, const std::string& answer, Clock::time_point now) {
  waiting.connection->SendWithoutWaiting(answer);
  waiting.connection->EndSending();
  Linger(waiting, now);
}

// True when the connection has gone to a page thread with its request:
// once its head is complete and the start of its body has arrived.
bool HttpServer::TakeRequest(Waiting& waiting, Clock::time_point now) {
  if (waiting.phase != Phase::kBodyStart) {
    RequestHead head;
    const HeadStatus status = waiting.connection->TakeHead(&head, limits_.maxHeadBytes);
    if (status == HeadStatus::kIncomplete) return false;
    if (status != HeadStatus::kComplete) {
      Refuse(waiting, Refusal(status), now);
      return false;
    }
    if (head.contentLength > limits_.maxBodyBytes) {
      Refuse(waiting, PlainAnswer(413, "The request body is larger than this server accepts."), now);
      return false;
    }
    handler_.HeadArrived(head);
    waiting.head = std::move(head);
    waiting.phase = Phase::kBodyStart;
    waiting.deadline = now + limits_.clientCredit;
  }
  if (waiting.connection->PendingBytes() < BodyStart(waiting.head)) return false;
  waiting.connection->SetPace(waiting.deadline - now, limits_.clientCredit);
  Queue({std::move(waiting.connection), std::move(waiting.head)});
  return true;
}

void HttpServer::Linger(Waiting& waiting, Clock::time_point now) {
  waiting.phase = Phase::kLingering;
  waiting.deadline = now + limits_.lingerTimeout;
}

void HttpServer::OnDeadline(Waiting& waiting) {
  // A client that has begun a request hears why it is dropped; a silent one
  // is closed quietly, as kept-alive connections are.
  if (waiting.phase == Phase::kHead || waiting.phase == Phase::kBodyStart)
    waiting.connection->SendWithoutWaiting(kTimedOut);
}

bool HttpServer::EvictOne() {
  if (waiting_.empty()) return false;
  auto soonest =
      std::min_element(waiting_.begin(), waiting_.end(),
                       [](const Waiting& a, const Waiting& b) { return a.deadline < b.deadline; });
  OnDeadline(*soonest);
  waiting_.erase(soonest);
  return true;
}

void HttpServer::AcceptAll(Clock::time_point now) {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    sockaddr_in peer{};
    int size = sizeof peer;
    SOCKET client = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &size);
    if (client == INVALID_SOCKET) {
      const int error = WSAGetLastError();
      if (error == WSAEMFILE || error == WSAENOBUFS) {
        // Out of sockets: a waiting connection gives its own up, and the
        // loop serves the others a moment before it tries again.
        EvictOne();
        acceptPausedUntil_ = now + kAcceptPause;
      }
      return;
    }
    try {
      char address[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
      auto connection = std::make_unique<Connection>(client, address, ntohs(peer.sin_port));
      client = INVALID_SOCKET;
      if (OpenConnections() >= limits_.maxConnections && !EvictOne()) {
        connection->SendWithoutWaiting(kUnavailable);  // every connection is being served
        continue;
      }
      waiting_.push_back({std::move(connection), Phase::kIdle, now + limits_.idleTimeout});
    } catch (const std::exception& e) {
      Log("cannot take a connection", e.what());
      if (client != INVALID_SOCKET) closesocket(client);
    }
  }
}

void HttpServer::AdoptReturned(Clock::time_point now) {
  std::vector<Returned> returned;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    returned.swap(returned_);
  }
  for (Returned& back : returned) {
    --away_;
    Waiting waiting{std::move(back.connection), Phase::kIdle, now + limits_.idleTimeout};
    if (waiting.connection->HasFileToSend()) {
      waiting.phase = Phase::kSendingFile;
      waiting.deadline = now + limits_.clientCredit;
      waiting.keepAlive = back.keepAlive;
    } else if (!AfterAnswer(waiting, back.keepAlive, now)) {
      continue;
    }
    waiting_.push_back(std::move(waiting));
  }
}

void HttpServer::Queue(Request request) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(std::move(request));
  ++away_;
  if (!StartThreadIfNeeded()) {
    // No thread at all to serve it: the client hears so.
    Request lost = std::move(queue_.back());
    queue_.pop_back();
    --away_;
    lock.unlock();
    Log("cannot start a page thread for", "the system has none to give", lost.head.target.c_str());
    lost.connection->SendWithoutWaiting(kUnavailable);
    return;
  }
  queued_.notify_one();
}

bool HttpServer::StartThreadIfNeeded() {
  const bool needed = static_cast<int>(queue_.size()) > idleThreads_ &&
                      threads_ - waitingThreads_ < limits_.maxPageThreads &&
                      threads_ < limits_.maxPageThreads + limits_.maxWaitingThreads;
  if (!needed) return true;
  try {
    std::thread(&HttpServer::ServeQueue, this).detach();
    ++threads_;
  } catch (const std::system_error&) {
    return threads_ > 0;
  }
  return true;
}

// A page thread waits on its client: the line moves on meanwhile.
void HttpServer::WaitBegins() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++waitingThreads_;
  StartThreadIfNeeded();
}

void HttpServer::WaitEnds() {
  std::lock_guard<std::mutex> lock(mutex_);
  --waitingThreads_;
}

void HttpServer::ServeQueue() {
  handler_.ThreadStarted();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    ++idleThreads_;
    queued_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    --idleThreads_;
    if (stopping_) break;
    Request request = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    const bool keepAlive = ServeOne(request);
    Return(std::move(request.connection), keepAlive);
    lock.lock();
  }
  lock.unlock();
  handler_.ThreadEnding();
  lock.lock();
  --threads_;
  threadEnded_.notify_all();
}

bool HttpServer::ServeOne(Request& request) {
  Connection& connection = *request.connection;
  try {
    connection.SetUpForServing(this);
    return handler_.Serve(connection, request.head);
  } catch (const std::exception& e) {
    Log("cannot serve", e.what(), request.head.target.c_str());
  } catch (...) {
    Log("cannot serve", "unknown exception", request.head.target.c_str());
  }
  // The connection ends; the client hears why if no answer has begun.
  if (!connection.ResponseStarted()) connection.Send(kFailed, sizeof kFailed - 1);
  return false;
}

void HttpServer::Return(std::unique_ptr<Connection> connection, bool keepAlive) {
  if (stopping_) {
    --away_;
    return;
  }
  if (!keepAlive && !connection->HasFileToSend()) connection->EndSending();
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    returned_.push_back({std::move(connection), keepAlive});
  } catch (const std::exception&) {
    --away_;  // closed here instead of by the loop
    return;
  }
  Wake();
}

}  // namespace asphost
