// Winsock with non-blocking sockets and select for every wait; TLS through
// Schannel (SSPI) on the same socket.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <wininet.h>  // the SECURITY_FLAG_IGNORE_ flags of the SSL chain policy
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/wide.h"
#include "http_client/connection_win32.h"

namespace velmora {

namespace {

// Winsock is started once for the process and left running: other code of
// the host may use it too.
bool startWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

// The time left until `until` for select: null (no limit) for kNever.
timeval* timeLeft(TConnection::TimePoint until, timeval& value) {
  if (until == TConnection::kNever) return nullptr;
  const auto left = std::chrono::ceil<std::chrono::microseconds>(
      std::max(until - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
  // select takes at most a long of seconds; a day between checks is plenty.
  const int64_t micro = std::min<int64_t>(left.count(), int64_t(86400) * 1000000);
  value.tv_sec = static_cast<long>(micro / 1000000);
  value.tv_usec = static_cast<long>(micro % 1000000);
  return &value;
}

// Waits until the socket can be read (or written); false when Until passed
// first or the wait failed. A wait with no limit is cut into pieces so that
// a wait cannot outlive a deadline by more than select's rounding.
bool waitFor(SOCKET socket, bool write, TConnection::TimePoint until) {
  for (;;) {
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(socket, &ready);
    FD_SET(socket, &failed);
    timeval value;
    const int count = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &failed,
                             timeLeft(until, value));
    if (count == SOCKET_ERROR) return false;
    if (count > 0) return true;  // ready, or failed: the next call says which
    if (until != TConnection::kNever && std::chrono::steady_clock::now() >= until) return false;
  }
}

bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

struct FreeAddresses {
  void operator()(ADDRINFOW* list) const { FreeAddrInfoW(list); }
};

// A host as the resolver takes it: an IPv6 address without its brackets.
ustring bareHost(const ustring& host) {
  if (host.size() > 1 && host.front() == u'[' && host.back() == u']')
    return host.substr(1, host.size() - 2);
  return host;
}

// The security context's buffers that Schannel allocates.
struct FreeContextBuffer_ {
  void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR;

// What a chain may lack and still be accepted: the certificate's dates (and
// its issuers'), which the client's users were promised are not checked.
constexpr DWORD kIgnoredChainErrors = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED |
                                      CERT_TRUST_CTL_IS_NOT_TIME_VALID |
                                      CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                      CERT_TRUST_IS_OFFLINE_REVOCATION;

constexpr size_t kReceivePiece = 16 * 1024 + 512;  // a whole TLS record and some

}  // namespace

struct TConnection::State {
  SOCKET socket = INVALID_SOCKET;
  bool tls = false;
  CredHandle credentials{};
  bool haveCredentials = false;
  CtxtHandle context{};
  bool haveContext = false;
  SecPkgContext_StreamSizes sizes{};
  // Bytes received and not yet decrypted; plain text decrypted and not yet
  // taken (from plainStart on).
  std::vector<uint8_t> sealed;
  std::vector<uint8_t> plain;
  size_t plainStart = 0;
  std::vector<uint8_t> record;  // a record being sealed, kept between sends
  bool closed = false;  // the peer ended the TLS session

  ~State() {
    if (haveContext) DeleteSecurityContext(&context);
    if (haveCredentials) FreeCredentialsHandle(&credentials);
    if (socket != INVALID_SOCKET) closesocket(socket);
  }

  bool sendRaw(const uint8_t* data, size_t size, TimePoint until) {
    while (size > 0) {
      const int piece = static_cast<int>(std::min<size_t>(size, 1 << 20));
      const int sent = send(socket, reinterpret_cast<const char*>(data), piece, 0);
      if (sent == SOCKET_ERROR) {
        if (!wouldBlock() || !waitFor(socket, true, until)) return false;
        continue;
      }
      data += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }

  // Appends what arrives to `into`; 0 bytes when the peer closed.
  bool receiveRaw(std::vector<uint8_t>& into, size_t& received, TimePoint until) {
    const size_t start = into.size();
    into.resize(start + kReceivePiece);
    for (;;) {
      const int count = recv(socket, reinterpret_cast<char*>(into.data() + start),
                             static_cast<int>(kReceivePiece), 0);
      if (count != SOCKET_ERROR) {
        into.resize(start + static_cast<size_t>(count));
        received = static_cast<size_t>(count);
        return true;
      }
      if (!wouldBlock() || !waitFor(socket, false, until)) {
        into.resize(start);
        return false;
      }
    }
  }

  bool sendToken(SecBuffer& token, TimePoint until) {
    if (token.cbBuffer == 0 || !token.pvBuffer) return true;
    std::unique_ptr<void, FreeContextBuffer_> owned(token.pvBuffer);
    return sendRaw(static_cast<const uint8_t*>(token.pvBuffer), token.cbBuffer, until);
  }

  bool handshake(const std::wstring& target, TimePoint until);
  bool acceptedCertificate(const std::wstring& target);
  bool decryptSome();
};

bool TConnection::State::handshake(const std::wstring& target, TimePoint until) {
  SCHANNEL_CRED settings = {};
  settings.dwVersion = SCHANNEL_CRED_VERSION;
  // The chain is checked below, by the client's own rules; no client
  // certificate is ever offered.
  settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  if (AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                SECPKG_CRED_OUTBOUND, nullptr, &settings, nullptr, nullptr,
                                &credentials, nullptr) != SEC_E_OK)
    return false;
  haveCredentials = true;

  wchar_t* name = const_cast<wchar_t*>(target.c_str());
  bool needMore = false;  // the last call wanted more of the server's bytes
  for (bool first = true;;) {
    if (!first && (sealed.empty() || needMore)) {
      size_t received = 0;
      if (!receiveRaw(sealed, received, until) || received == 0) return false;
    }
    SecBuffer in[2] = {{static_cast<unsigned long>(sealed.size()), SECBUFFER_TOKEN, sealed.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 1, out};
    unsigned long attributes = 0;
    const SECURITY_STATUS status = InitializeSecurityContextW(
        &credentials, first ? nullptr : &context, name, kContextFlags, 0, 0,
        first ? nullptr : &inDesc, 0, first ? &context : nullptr, &outDesc, &attributes, nullptr);
    if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveContext = true;
    if (!sendToken(out[0], until)) return false;
    needMore = status == SEC_E_INCOMPLETE_MESSAGE;
    if (needMore) continue;
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {  // the server asks for a certificate: none
      first = false;
      continue;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) return false;
    if (!first) {
      // What the call did not use is the start of the next message.
      if (in[1].BufferType == SECBUFFER_EXTRA)
        sealed.erase(sealed.begin(), sealed.end() - in[1].cbBuffer);
      else
        sealed.clear();
    }
    first = false;
    if (status == SEC_E_OK) break;
  }
  return QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) == SEC_E_OK &&
         acceptedCertificate(target);
}

bool TConnection::State::acceptedCertificate(const std::wstring& target) {
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      !certificate)
    return false;
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof chainPara;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool accepted = false;
  if (CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                              nullptr, &chain)) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    ssl.pwszServerName = const_cast<wchar_t*>(target.c_str());
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result = {};
    result.cbSize = sizeof result;
    accepted = (chain->TrustStatus.dwErrorStatus & ~kIgnoredChainErrors) == 0 &&
               CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) &&
               (result.dwError == 0 || result.dwError == static_cast<DWORD>(CERT_E_EXPIRED) ||
                result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH));
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return accepted;
}

// Decrypts the records that have arrived whole into `plain`. False for a
// record that does not decrypt, or a request to negotiate again (which the
// client never makes and does not take).
bool TConnection::State::decryptSome() {
  while (!sealed.empty() && !closed) {
    SecBuffer buffers[4] = {{static_cast<unsigned long>(sealed.size()), SECBUFFER_DATA, sealed.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return true;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED) return false;
    size_t extra = 0;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA && buffer.cbBuffer > 0) {
        const auto* data = static_cast<const uint8_t*>(buffer.pvBuffer);
        plain.insert(plain.end(), data, data + buffer.cbBuffer);
      } else if (buffer.BufferType == SECBUFFER_EXTRA) {
        extra = buffer.cbBuffer;
      }
    }
    sealed.erase(sealed.begin(), sealed.end() - extra);
    if (status == SEC_I_CONTEXT_EXPIRED) closed = true;  // the server's close_notify
  }
  return true;
}

TConnection::TConnection(std::unique_ptr<State> state) : s_(std::move(state)) {}
TConnection::~TConnection() = default;

std::unique_ptr<TConnection> TConnection::Connect(const ustring& Host, uint16_t Port,
                                                  TimePoint Until) {
  if (!startWinsock()) return nullptr;
  ADDRINFOW hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  ADDRINFOW* found = nullptr;
  if (GetAddrInfoW(wstr(bareHost(Host)), std::to_wstring(Port).c_str(), &hints, &found) != 0)
    return nullptr;
  std::unique_ptr<ADDRINFOW, FreeAddresses> addresses(found);
  for (const ADDRINFOW* address = found; address; address = address->ai_next) {
    auto state = std::make_unique<State>();
    state->socket = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (state->socket == INVALID_SOCKET) continue;
    u_long nonBlocking = 1;
    if (ioctlsocket(state->socket, FIONBIO, &nonBlocking) != 0) continue;
    if (connect(state->socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
      if (!wouldBlock() || !waitFor(state->socket, true, Until)) continue;
      int error = 0, length = sizeof error;
      if (getsockopt(state->socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                     &length) != 0 ||
          error != 0)
        continue;
    }
    // Requests go out in one piece and wait for their answer.
    BOOL noDelay = TRUE;
    setsockopt(state->socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    return std::unique_ptr<TConnection>(new TConnection(std::move(state)));
  }
  return nullptr;
}

bool TConnection::StartTLS(const ustring& Host, TimePoint Until) {
  s_->tls = true;
  const std::wstring target(wstr(bareHost(Host)));
  return s_->handshake(target, Until);
}

bool TConnection::Send(const void* Data, size_t Size, TimePoint Until) {
  const auto* data = static_cast<const uint8_t*>(Data);
  if (!s_->tls) return s_->sendRaw(data, Size, Until);
  const SecPkgContext_StreamSizes& sizes = s_->sizes;
  std::vector<uint8_t>& record = s_->record;
  record.resize(sizes.cbHeader + sizes.cbMaximumMessage + sizes.cbTrailer);
  while (Size > 0) {
    const size_t piece = std::min<size_t>(Size, sizes.cbMaximumMessage);
    std::memcpy(record.data() + sizes.cbHeader, data, piece);
    SecBuffer buffers[4] = {
        {sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
        {static_cast<unsigned long>(piece), SECBUFFER_DATA, record.data() + sizes.cbHeader},
        {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes.cbHeader + piece},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&s_->context, 0, &desc, 0) != SEC_E_OK ||
        !s_->sendRaw(record.data(), buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer,
                     Until))
      return false;
    data += piece;
    Size -= piece;
  }
  return true;
}

bool TConnection::Receive(uint8_t* Buffer, size_t Capacity, size_t& Received, TimePoint Until) {
  Received = 0;
  if (!s_->tls) {
    for (;;) {
      const int count = recv(s_->socket, reinterpret_cast<char*>(Buffer),
                             static_cast<int>(std::min<size_t>(Capacity, 1 << 20)), 0);
      if (count != SOCKET_ERROR) {
        Received = static_cast<size_t>(count);
        return true;
      }
      if (!wouldBlock() || !waitFor(s_->socket, false, Until)) return false;
    }
  }
  State& s = *s_;
  for (;;) {
    if (s.plainStart < s.plain.size()) {
      Received = std::min(Capacity, s.plain.size() - s.plainStart);
      std::memcpy(Buffer, s.plain.data() + s.plainStart, Received);
      s.plainStart += Received;
      if (s.plainStart == s.plain.size()) {
        s.plain.clear();
        s.plainStart = 0;
      }
      return true;
    }
    if (!s.decryptSome()) return false;
    if (!s.plain.empty()) continue;
    if (s.closed) return true;
    size_t received = 0;
    if (!s.receiveRaw(s.sealed, received, Until)) return false;
    // The server closed without ending the session: the end of the bytes,
    // which the answer's own framing judges (a record cut in two is not).
    if (received == 0) return s.sealed.empty();
  }
}

}  // namespace velmora
