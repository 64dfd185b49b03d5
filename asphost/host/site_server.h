// The ASP host: serves a folder over HTTP/1.1 on a local address, running
// .asp pages through the script engines with the intrinsic objects, and
// sending other files as they are. One thread per connection, keep-alive.
#pragma once

#include <winsock2.h>

#include <atomic>
#include <memory>
#include <string>

#include "asphost/http_server/connection.h"
#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

struct HostOptions {
  std::wstring root;  // the site's folder, a Windows path
  std::string address = "127.0.0.1";
  int port = 8080;    // 0: any free port
  int idleMs = 15000;  // how long a kept-alive connection may stay silent
  int maxConnections = 256;
  // Never served, as IIS serves no folder without read permission: where
  // pages store what clients upload, so an uploaded page cannot be run.
  std::wstring privateFolder = L"/uploads";
};

class SiteServer {
 public:
  explicit SiteServer(HostOptions options);
  ~SiteServer();

  // Binds and listens; false with a message on stderr when it cannot.
  bool Listen();
  int port() const { return port_; }

  // Accepts and serves until Stop.
  void Run();
  // Safe from any thread (the console's Ctrl+C handler).
  void Stop();

 private:
  void ServeConnection(std::unique_ptr<Connection> connection);
  // Serves one request; false when the connection must close after it.
  bool ServeRequest(Connection& connection, const RequestHead& head);
  bool RunPage(Connection& connection, const RequestHead& head, const std::wstring& virtualPath,
               const std::wstring& physicalPath);
  bool SendFile(Connection& connection, const RequestHead& head, const std::wstring& physicalPath);
  bool SendError(Connection& connection, const RequestHead* head, int status, const std::wstring& detail,
                 const std::string& extraHeaders = {});

  HostOptions options_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::shared_ptr<ApplicationStore> application_;
};

}  // namespace asphost
