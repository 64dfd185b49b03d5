#include "asphost/http_server/connection.h"

#include <algorithm>
#include <cstring>

namespace asphost {
namespace {

// Waits until the socket is readable; false on timeout or error.
bool WaitReadable(SOCKET socket, int timeoutMs) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

}  // namespace

Connection::Connection(SOCKET socket, std::string remoteAddress, int remotePort,
                       std::chrono::milliseconds clientCheckInterval)
    : socket_(socket),
      remoteAddress_(std::move(remoteAddress)),
      remotePort_(remotePort),
      clientCheckInterval_(clientCheckInterval) {}

Connection::~Connection() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  shutdown(socket_, SD_SEND);
  closesocket(socket_);
}

void Connection::SetUpForServing(ClientWaitObserver* observer) {
  observer_ = observer;
  if (setUp_) return;
  setUp_ = true;
  // Never blocking: a thread that must wait does so in AwaitClient, where
  // the wait is timed against the client's credit and the server hears of it.
  u_long nonBlocking = 1;
  ioctlsocket(socket_, FIONBIO, &nonBlocking);
  sockaddr_in local{};
  int size = sizeof local;
  if (getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &size) == 0) localPort_ = ntohs(local.sin_port);
  int bufferSize = 1 << 20;
  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bufferSize), sizeof bufferSize);
  BOOL noDelay = TRUE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
}

bool Connection::AwaitClient(short events) {
  using namespace std::chrono;
  if (credit_ <= nanoseconds::zero()) return false;
  if (observer_) observer_->WaitBegins();
  const auto start = steady_clock::now();
  WSAPOLLFD polled{socket_, events, 0};
  const int ready = WSAPoll(&polled, 1, static_cast<int>(duration_cast<milliseconds>(credit_).count()) + 1);
  if (observer_) observer_->WaitEnds();
  credit_ -= steady_clock::now() - start;
  return ready > 0;
}

void Connection::Earn(size_t bytes) {
  credit_ = std::min(credit_ + CreditEarnedBy(bytes), creditCap_);
}

bool Connection::ReceiveHeadBytes(size_t limit) {
  if (broken_) return false;
  // Into a buffer of its own first: the pending bytes grow by what came,
  // not by what might have.
  char buffer[4096];
  const size_t room = pending_.size() < limit ? limit - pending_.size() : 1;
  int got = recv(socket_, buffer, static_cast<int>(std::min(room, sizeof buffer)), 0);
  if (got <= 0) {
    broken_ = true;
    return false;
  }
  pending_.append(buffer, static_cast<size_t>(got));
  lastHeard_ = std::chrono::steady_clock::now();
  return true;
}

HeadStatus Connection::TakeHead(RequestHead* head, size_t limit) {
  // Whatever ends a head now lies in the bytes received since the last
  // look, or in the three before them.
  const size_t from = headScanned_ < 3 ? 0 : headScanned_ - 3;
  headScanned_ = pending_.size();
  if (pending_.size() < limit && pending_.find("\r\n\r\n", from) == std::string::npos)
    return HeadStatus::kIncomplete;
  size_t used = 0;
  HeadStatus status = ParseRequestHead(pending_, limit, head, &used);
  if (status == HeadStatus::kIncomplete) return status;
  headScanned_ = 0;
  if (status == HeadStatus::kComplete) {
    pending_.erase(0, used);
    // A kept-alive connection waits without the head's bytes.
    if (pending_.empty()) std::string().swap(pending_);
  }
  return status;
}

void Connection::BeginBody(int64_t length, bool expectContinue) {
  responseStarted_ = false;
  bodyRemaining_ = length;
  continuePending_ = expectContinue && length > 0;
}

size_t Connection::ReadBody(uint8_t* buffer, size_t size) {
  if (bodyRemaining_ <= 0 || size == 0) return 0;
  if (continuePending_) {
    continuePending_ = false;
    if (!responseStarted_ && pending_.empty()) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      if (send(socket_, kContinue, sizeof kContinue - 1, 0) != sizeof kContinue - 1) broken_ = true;
    }
  }
  size_t want = static_cast<size_t>(std::min<int64_t>(bodyRemaining_, static_cast<int64_t>(size)));
  size_t delivered = 0;
  if (!pending_.empty()) {
    delivered = std::min(want, pending_.size());
    memcpy(buffer, pending_.data(), delivered);
    pending_.erase(0, delivered);
  }
  // A receive takes what has arrived (up to kBodyReadAhead), so a slow
  // client's bytes reach the page, and its progress, as they come.
  while (delivered < want && !broken_) {
    if (aheadBegin_ == aheadEnd_) {
      if (!ahead_) ahead_.reset(new uint8_t[kBodyReadAhead]);
      const int64_t unread = bodyRemaining_ - static_cast<int64_t>(delivered);
      const int room = static_cast<int>(std::min<int64_t>(unread, static_cast<int64_t>(kBodyReadAhead)));
      int got = recv(socket_, reinterpret_cast<char*>(ahead_.get()), room, 0);
      if (got < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
        if (!AwaitClient(POLLRDNORM)) broken_ = true;
        continue;
      }
      if (got <= 0) {
        broken_ = true;
        break;
      }
      Earn(static_cast<size_t>(got));
      aheadBegin_ = 0;
      aheadEnd_ = static_cast<size_t>(got);
      lastHeard_ = std::chrono::steady_clock::now();
    }
    const size_t n = std::min(want - delivered, aheadEnd_ - aheadBegin_);
    memcpy(buffer + delivered, ahead_.get() + aheadBegin_, n);
    aheadBegin_ += n;
    delivered += n;
  }
  bodyRemaining_ -= delivered;
  return delivered;
}

bool Connection::DrainBody(int64_t limit) {
  if (bodyRemaining_ == 0) return !broken_;
  if (!CanDrainBody(limit) || broken_) return false;
  continuePending_ = false;  // the client sends without it: no 100 now
  uint8_t scratch[65536];
  while (bodyRemaining_ > 0) {
    if (ReadBody(scratch, sizeof scratch) == 0) return false;
  }
  return !broken_;
}

bool Connection::IsClientConnected() {
  if (broken_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < lastHeard_ + clientCheckInterval_) return true;
  lastHeard_ = now;
  ++socketChecks_;
  if (!pending_.empty() || aheadBegin_ < aheadEnd_ || !WaitReadable(socket_, 0)) return true;
  char probe;
  int got = recv(socket_, &probe, 1, MSG_PEEK);
  // A reset, or the end of the stream before the body was complete, means
  // the client has gone. The end after the whole body is a client that has
  // finished sending and still waits for the answer.
  if (got < 0 || (got == 0 && bodyRemaining_ > 0)) broken_ = true;
  return !broken_;
}

bool Connection::Send(const void* data, size_t size) {
  responseStarted_ = true;
  const char* p = static_cast<const char*>(data);
  while (size > 0 && !broken_) {
    int sent = send(socket_, p, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (sent < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
      if (!AwaitClient(POLLWRNORM)) broken_ = true;
      continue;
    }
    if (sent <= 0) {
      broken_ = true;
      break;
    }
    Earn(static_cast<size_t>(sent));
    p += sent;
    size -= sent;
  }
  return !broken_;
}

void Connection::SendFileLater(HANDLE file, uint64_t size) {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = file;
  fileLeft_ = size;
  fileBegin_ = fileEnd_ = 0;
}

bool Connection::SendFileBytes(size_t* sent, size_t chunk, size_t most) {
  const size_t before = *sent;
  while (!broken_ && (fileLeft_ > 0 || fileBegin_ < fileEnd_) && *sent - before < most) {
    if (fileBegin_ == fileEnd_) {
      if (fileBufferSize_ != chunk) {
        fileBuffer_.reset(new char[chunk]);
        fileBufferSize_ = chunk;
      }
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<uint64_t>(fileLeft_, chunk));
      // A file that shrank meanwhile cannot fill the length announced.
      if (!ReadFile(file_, fileBuffer_.get(), want, &got, nullptr) || got == 0) broken_ = true;
      fileBegin_ = 0;
      fileEnd_ = got;
      fileLeft_ -= got;
      continue;
    }
    int n = send(socket_, fileBuffer_.get() + fileBegin_, static_cast<int>(fileEnd_ - fileBegin_), 0);
    if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) break;
    if (n <= 0) {
      broken_ = true;
      break;
    }
    fileBegin_ += static_cast<size_t>(n);
    *sent += static_cast<size_t>(n);
  }
  if (broken_ || (fileLeft_ == 0 && fileBegin_ == fileEnd_)) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    fileBuffer_.reset();
    fileBufferSize_ = 0;
  }
  return !broken_;
}

void Connection::SendFileWhileTaken() {
  while (HasFileToSend()) {
    size_t sent = 0;
    if (!SendFileBytes(&sent, kThreadFileChunk, SIZE_MAX) || sent > 0) continue;
    WSAPOLLFD polled{socket_, POLLWRNORM, 0};
    if (WSAPoll(&polled, 1, static_cast<int>(kBriskReader.count())) == 1) continue;
    // A slow reader: the loop sends the rest, from the first byte not yet
    // sent, with a small piece of its own (when the file cannot be wound
    // back, from this piece).
    const size_t unsent = fileEnd_ - fileBegin_;
    LARGE_INTEGER back;
    back.QuadPart = -static_cast<LONGLONG>(unsent);
    if (unsent > 0 && !SetFilePointerEx(file_, back, nullptr, FILE_CURRENT)) return;
    fileLeft_ += unsent;
    fileBegin_ = fileEnd_ = 0;
    fileBuffer_.reset();
    fileBufferSize_ = 0;
    return;
  }
}

void Connection::SendWithoutWaiting(std::string_view text) {
  responseStarted_ = true;
  u_long nonBlocking = 1;
  ioctlsocket(socket_, FIONBIO, &nonBlocking);
  send(socket_, text.data(), static_cast<int>(text.size()), 0);
}

void Connection::EndSending() { shutdown(socket_, SD_SEND); }

bool Connection::Discard(size_t* budget) {
  char buffer[16384];
  int got = recv(socket_, buffer, static_cast<int>(std::min(*budget, sizeof buffer)), 0);
  if (got <= 0) return false;
  *budget -= static_cast<size_t>(got);
  return *budget > 0;
}

}  // namespace asphost
