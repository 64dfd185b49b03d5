// asphost.exe: serves a folder of .asp pages and files on a local port.
//   asphost --root C:\site [--port 8080] [--address 127.0.0.1] [--max-body <bytes>]
// Port 0 takes any free port; the first line on stdout names the address.
// A request body longer than --max-body (2 GB less a byte by default) is
// refused with 413.
#include <winsock2.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "asphost/host/site_server.h"
#include "asphost/intrinsics/variants.h"

namespace {

asphost::SiteServer* running = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (running) running->Stop();
  return TRUE;
}

int Usage() {
  fputs("usage: asphost --root <folder> [--port <n>] [--address <ipv4>] [--max-body <bytes>]\n", stderr);
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  asphost::HostOptions options;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == L"--root") {
      wchar_t full[MAX_PATH];
      if (!GetFullPathNameW(argv[++i], MAX_PATH, full, nullptr)) return Usage();
      options.root = full;
    } else if (arg == L"--port") {
      wchar_t* end;
      long port = wcstol(argv[++i], &end, 10);
      if (*end || port < 0 || port > 65535) return Usage();
      options.port = static_cast<int>(port);
    } else if (arg == L"--address") {
      options.address = asphost::Utf8(argv[++i]);
    } else if (arg == L"--max-body") {
      wchar_t* end;
      long long bytes = wcstoll(argv[++i], &end, 10);
      if (*end || end == argv[i] || bytes < 0) return Usage();
      options.limits.maxBodyBytes = bytes;
    } else {
      return Usage();
    }
  }
  DWORD attributes = GetFileAttributesW(options.root.c_str());
  if (options.root.empty() || attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    fprintf(stderr, "asphost: the root folder '%s' does not exist\n", asphost::Utf8(options.root).c_str());
    return Usage();
  }

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  asphost::SiteServer server(options);
  if (!server.Listen()) return 1;
  running = &server;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  printf("asphost: serving %s on http://%s:%d/\n", asphost::Utf8(options.root).c_str(), options.address.c_str(),
         server.port());
  fflush(stdout);
  server.Run();
  running = nullptr;
  puts("asphost: stopped");
  WSACleanup();
  return 0;
}
