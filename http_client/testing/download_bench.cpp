// Memory of DownloadFile: downloads URL into FileName with THTTP and prints
// the seconds it took, the file's size and the process's peak resident
// memory (VmHWM of the Wine process, read through Z:\proc\self\status).
//   download-bench <URL> <FileName>
// with the test servers of web_servers.js running, for example
//   tools/wine-run build/win64/http_client/download-bench.exe
//       http://127.0.0.1:<http port>/stream?n=536870912 'C:\users\Public\big.bin'
// (one command line).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "base/wide.h"
#include "http_client/http.h"

using namespace velmora;

namespace {

// The "VmHWM: ... kB" line of the process's status, as the kernel sees it.
std::string peakResidentMemory() {
  std::ifstream status("Z:\\proc\\self\\status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return line;
  return "VmHWM: (unknown)";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: download-bench <URL> <FileName>\n");
    return 2;
  }
  THTTP http;
  http.SetHTTPTimeout(600);
  const auto start = std::chrono::steady_clock::now();
  try {
    http.DownloadFile(fromWide(argv[1]), fromWide(argv[2]));
  } catch (const EHTTPError& e) {
    std::fprintf(stderr, "%s\n", toUtf8(e.message()).c_str());
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExW(argv[2], GetFileExInfoStandard, &data);
  const unsigned long long size =
      (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  std::printf("status %d, %llu bytes in %.2f s, %s\n", http.ReturnCode(), size, seconds,
              peakResidentMemory().c_str());
  return http.ReturnCode() == 200 ? 0 : 1;
}
