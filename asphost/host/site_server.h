// The ASP host: serves a folder over HTTP/1.1 on a local address, running
// .asp pages through the script engines with the intrinsic objects, and
// sending other files as they are. Heads are read by the server's event
// loop; each request runs on a page thread with its own apartment.
#pragma once

#include <winsock2.h>

#include <memory>
#include <string>

#include "asphost/http_server/server.h"
#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

struct HostOptions {
  std::wstring root;  // the site's folder, a Windows path
  std::string address = "127.0.0.1";
  int port = 8080;    // 0: any free port
  ServerLimits limits;
  // Never served, as IIS serves no folder without read permission: where
  // pages store what clients upload, so an uploaded page cannot be run.
  std::wstring privateFolder = L"/uploads";
};

class SiteServer : private RequestHandler {
 public:
  explicit SiteServer(HostOptions options);

  // Binds and listens; false with a message on stderr when it cannot.
  bool Listen() { return server_.Listen(options_.address, options_.port); }
  int port() const { return server_.port(); }

  // Serves until Stop.
  void Run() { server_.Run(); }
  // Safe from any thread (the console's Ctrl+C handler).
  void Stop() { server_.Stop(); }

 private:
  void ThreadStarted() override;
  void ThreadEnding() override;
  void HeadArrived(const RequestHead& head) override;
  bool Serve(Connection& connection, const RequestHead& head) override;

  // Serves one request; false when the connection must close after it.
  bool ServeRequest(Connection& connection, const RequestHead& head);
  bool RunPage(Connection& connection, const RequestHead& head, const std::wstring& virtualPath,
               const std::wstring& physicalPath);
  // The page's Request.ServerVariables, from the request and the page's setup.
  NameValueList ServerVariables(const Connection& connection, const RequestHead& head,
                                const PageSetup& setup, const std::wstring& physicalPath) const;
  bool SendFile(Connection& connection, const RequestHead& head, const std::wstring& physicalPath);
  bool SendError(Connection& connection, const RequestHead* head, int status, const std::wstring& detail,
                 const std::string& extraHeaders = {});
  // For tests, when the environment has ASPHOST_INJECT_FAULTS: a request
  // with "X-Asphost-Fault: <where>" fails there as if memory ran out.
  void InjectFault(const RequestHead& head, const char* where) const;

  HostOptions options_;
  std::shared_ptr<ApplicationStore> application_;
  bool faultsInjectable_;
  HttpServer server_;
};

}  // namespace asphost
