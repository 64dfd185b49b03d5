// DownloadFile of a large answer: downloads URL into FileName with THTTP and
// prints the status, the file's size and the seconds it took. Its peak
// memory is read from outside by download_bench.sh, which runs it.
#include <windows.h>

#include <chrono>
#include <cstdio>

#include "base/wide.h"
#include "http_client/http.h"

using namespace velmora;

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
  std::printf("status %d, %llu bytes in %.2f s\n", http.ReturnCode(), size, seconds);
  return http.ReturnCode() == 200 ? 0 : 1;
}
