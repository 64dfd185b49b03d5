// Throughput of the multipart parser, measured against memcpy of the same
// bytes in the same 102400-byte blocks into freshly allocated memory (what
// any parser that keeps the file must at least do). Each parser iteration
// gets fresh results whose streams are built and freed as in real use.
//
// The bodies: a: one 100 MB file and two fields; b: 2000 small fields; c: a
// 50 MB file dense with near-delimiters; d: 20 files of 5 MB (a gallery
// upload, the common shape). d should go at least 0.8 as fast as a.
//
// Beside the parser alone, the whole Read of the upload object below COM: a
// fresh TProcess per iteration reads the body from an in-process host that
// hands out 102400-byte blocks from memory, as Request.BinaryRead would.
// Warm: later reads in the same process, as a server runs them (the memory
// of earlier uploads kept for reuse); cold: the first Read in a fresh
// process (the median of three such processes).
//
// Then the peak resident memory of a fresh process reading a body of
// 199,990 one-byte files in memory, which must follow the body's size.
//
// Then the peak resident memory of direct-mode parses of a 10 MB and a
// 500 MB body (each in a fresh process), which must not grow with the upload.
//
// Rates are per CPU second (including the kernel's page faults), so that the
// ratios hold on a machine shared with other work. The last lines are the
// ratios to memcpy, "parser/memcpy = R" (the 100 MB file) last of all.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io/stream.h"
#include "process/bench/memory_host.h"
#include "process/multipart_parser.h"
#include "process/process.h"
#include "process/upload_receiver.h"

namespace {

using namespace velmora;

constexpr size_t kBlock = 102400;
constexpr size_t kMB = 1 << 20;
const std::string kLine = "------WebKitFormBoundary7MA4YWxkTrZu0gW";

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng());
  return out;
}

std::string field(const std::string& name, const std::string& value) {
  return kLine + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string fileHeader(const std::string& fieldName = "upload", const std::string& name = "big.bin") {
  return kLine + "\r\nContent-Disposition: form-data; name=\"" + fieldName + "\"; filename=\"C:\\data\\" + name +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
}

std::string fileData(size_t fileBytes) {
  std::string pattern = randomBytes(1 << 16, 1);
  std::string data;
  data.reserve(fileBytes);
  while (data.size() < fileBytes) data += pattern.substr(0, fileBytes - data.size());
  return data;
}

std::string fileBody(size_t fileBytes) {
  return field("title", "Holiday photos") + field("note", "from the trip") + fileHeader() +
         fileData(fileBytes) + "\r\n" + kLine + "--\r\n";
}

// Files of the same size, each in a field of its own, after one field.
std::string filesBody(int count, size_t fileBytes) {
  const std::string data = fileData(fileBytes);
  std::string body = field("title", "Gallery");
  body.reserve(count * (fileBytes + 256));
  for (int i = 0; i < count; ++i)
    body += fileHeader("photo" + std::to_string(i), "photo" + std::to_string(i) + ".jpg") + data + "\r\n";
  return body + kLine + "--\r\n";
}

std::string smallFieldsBody(int count) {
  std::string body;
  for (int i = 0; i < count; ++i)
    body += field("field" + std::to_string(i), "value of field number " + std::to_string(i));
  return body + kLine + "--\r\n";
}

// File data made of CR LF and prefixes of the delimiter line, with short runs
// of other bytes between them.
std::string denseBody(size_t fileBytes) {
  const std::string pattern = "\r\n" + kLine;
  std::mt19937 rng(3);
  std::string data;
  data.reserve(fileBytes + pattern.size());
  while (data.size() < fileBytes) {
    data += pattern.substr(0, 1 + rng() % (pattern.size() - 1));
    for (size_t n = rng() % 8; n > 0; --n) data += static_cast<char>('a' + rng() % 26);
  }
  data.resize(fileBytes);
  return field("title", "dense") + fileHeader() + data + "\r\n" + kLine + "--\r\n";
}

void parseInBlocks(const std::string& body) {
  TUploadResults results;
  TUploadReceiver receiver(results, TFormCharset::Utf8, nullptr);
  TMultipartParser parser(receiver, TFormCharset::Utf8);
  const auto* data = reinterpret_cast<const uint8_t*>(body.data());
  for (size_t done = 0; done < body.size(); done += kBlock)
    parser.parseBlock(data + done, std::min(kBlock, body.size() - done));
  benchmark::DoNotOptimize(results.FFiles.size());
  benchmark::ClobberMemory();
}

void parse(benchmark::State& state, const std::string& body) {
  for (auto _ : state) parseInBlocks(body);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

const std::string& file100() {
  static const std::string body = fileBody(100 * kMB);
  return body;
}

const std::string& dense50() {
  static const std::string body = denseBody(50 * kMB);
  return body;
}

constexpr int kGalleryFiles = 20;

const std::string& gallery() {
  static const std::string body = filesBody(kGalleryFiles, 5 * kMB);
  return body;
}

void BM_Parse100MBFile(benchmark::State& state) { parse(state, file100()); }
void BM_Parse20Files5MB(benchmark::State& state) { parse(state, gallery()); }

void BM_Parse2000SmallFields(benchmark::State& state) {
  static const std::string body = smallFieldsBody(2000);
  parse(state, body);
}

void BM_Parse50MBDenseFile(benchmark::State& state) { parse(state, dense50()); }

void BM_Memcpy100MB(benchmark::State& state) {
  const std::string& body = file100();
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[body.size()]);
    for (size_t done = 0; done < body.size(); done += kBlock)
      std::memcpy(copy.get() + done, body.data() + done, std::min(kBlock, body.size() - done));
    benchmark::DoNotOptimize(copy.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// --- The whole Read ---------------------------------------------------------


// Read with progress on, as the demo's pages do; the results are checked
// once, so that a broken read cannot pass for a fast one.
void readWhole(benchmark::State& state, const std::string& body, int32_t files, int32_t variables) {
  for (auto _ : state) {
    TProcess upload(std::make_unique<bench::MemoryHost>(body));
    upload.SetShowProgress(true);
    upload.SetProgressID(u"bench");
    upload.Read();
    benchmark::DoNotOptimize(upload.FileQty());
    if (upload.FileQty() != files || upload.VarCount() != variables) {
      state.SkipWithError("Read gave other results than the body holds");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

// A first Read before the timed ones, so that each timed one meets the
// process as a server's later uploads do.
void readWarm(benchmark::State& state, const std::string& body, int32_t files, int32_t variables) {
  TProcess(std::make_unique<bench::MemoryHost>(body)).Read();
  readWhole(state, body, files, variables);
}

void BM_Read100MBFile(benchmark::State& state) { readWarm(state, file100(), 1, 3); }
void BM_Read50MBDenseFile(benchmark::State& state) { readWarm(state, dense50(), 1, 2); }
void BM_Read20Files5MB(benchmark::State& state) { readWarm(state, gallery(), kGalleryFiles, kGalleryFiles + 1); }

void BM_Read2000SmallFields(benchmark::State& state) {
  static const std::string body = smallFieldsBody(2000);
  readWhole(state, body, 0, 2000);
}

BENCHMARK(BM_Parse100MBFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read100MBFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse2000SmallFields)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Read2000SmallFields)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Parse50MBDenseFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read50MBDenseFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse20Files5MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read20Files5MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy100MB)->Unit(benchmark::kMillisecond);

// Prints the usual table and keeps each benchmark's bytes per second.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> rates;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates[run.benchmark_name()] = rate->second;
    }
  }
};

// --- Direct mode: memory that does not grow with the upload ----------------

// A plain stdio file, standing in for the upload object's disk files.
class TStdioFile final : public TStream {
 public:
  explicit TStdioFile(const std::string& path) : file_(std::fopen(path.c_str(), "w+b")) {
    if (!file_) throw EWriteError();
  }
  ~TStdioFile() override { std::fclose(file_); }

  int64_t size() const override {
    const int64_t here = position();
    std::fseek(file_, 0, SEEK_END);
    const int64_t end = position();
    std::fseek(file_, static_cast<long>(here), SEEK_SET);
    return end;
  }
  int64_t position() const override { return static_cast<int64_t>(std::ftell(file_)); }
  void seek(int64_t position) override { std::fseek(file_, static_cast<long>(position), SEEK_SET); }
  size_t read(void* buffer, size_t count) override { return std::fread(buffer, 1, count, file_); }
  void write(const void* buffer, size_t count) override {
    if (std::fwrite(buffer, 1, count, file_) != count) throw EWriteError();
  }

 private:
  FILE* file_;
};

// Staged and committed in place: the file simply stays where it was written.
class TStdioStagedFile final : public IStagedFile {
 public:
  explicit TStdioStagedFile(const std::string& path) : file_(path), path_(path) {}
  TStream& bytes() override { return file_; }
  ustring commit() override { return fromUtf8(path_); }

 private:
  TStdioFile file_;
  std::string path_;
};

class DiskDestinations : public IFileDestinations {
 public:
  explicit DiskDestinations(std::string path) : path_(std::move(path)) {}
  void openFile(TFileRecord& record) override {
    record.Storage.stage(std::make_unique<TStdioStagedFile>(path_));
  }

 private:
  std::string path_;
};

long peakResidentKB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Parses a direct-mode body of fileMB megabytes of file data, made block by
// block as a host would deliver it (never held whole), into a real file.
// Prints the peak resident memory in kB.
int measureDirectMode(size_t fileMB) {
  const std::string head = field("title", "direct") + fileHeader();
  const std::string tail = "\r\n" + kLine + "--\r\n";
  const std::string pattern = randomBytes(1 << 16, 2);
  const uint64_t fileBytes = static_cast<uint64_t>(fileMB) * kMB;
  const uint64_t total = head.size() + fileBytes + tail.size();

  const std::string path =
      (std::filesystem::temp_directory_path() / ("parser-bench-" + std::to_string(getpid()) + ".bin")).string();
  uint64_t written = 0;
  {
    DiskDestinations disk(path);
    TUploadResults results;
    TUploadReceiver receiver(results, TFormCharset::Utf8, &disk);
    TMultipartParser parser(receiver, TFormCharset::Utf8);
    std::unique_ptr<uint8_t[]> block(new uint8_t[kBlock]);
    for (uint64_t done = 0; done < total;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, total - done));
      for (size_t i = 0; i < n; ++i) {
        const uint64_t at = done + i;
        block[i] = static_cast<uint8_t>(
            at < head.size()               ? head[at]
            : at < head.size() + fileBytes ? pattern[(at - head.size()) % pattern.size()]
                                           : tail[at - head.size() - fileBytes]);
      }
      parser.parseBlock(block.get(), n);
      done += n;
    }
  }
  // Measured once the file is closed, with all its writes flushed.
  written = std::filesystem::file_size(path);
  std::filesystem::remove(path);
  if (written != fileBytes) {
    std::fprintf(stderr, "direct mode wrote %llu bytes, not %llu\n", static_cast<unsigned long long>(written),
                 static_cast<unsigned long long>(fileBytes));
    return 1;
  }
  std::printf("%ld\n", peakResidentKB());
  return 0;
}

double threadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The first Read of this process, of the body named: prints its bytes per
// CPU second (page faults included, as for the benchmarks above).
int measureColdRead(const std::string& which) {
  struct Body {
    const char* name;
    const std::string& (*make)();
    int32_t files, variables;
  };
  static const Body bodies[] = {{"file", file100, 1, 3}, {"dense", dense50, 1, 2},
                                {"gallery", gallery, kGalleryFiles, kGalleryFiles + 1}};
  const auto chosen = std::find_if(std::begin(bodies), std::end(bodies),
                                   [&](const Body& b) { return which == b.name; });
  if (chosen == std::end(bodies)) return 1;
  const std::string& body = chosen->make();
  TProcess upload(std::make_unique<bench::MemoryHost>(body));
  const double start = threadCpuSeconds();
  upload.Read();
  const double seconds = threadCpuSeconds() - start;
  if (upload.FileQty() != chosen->files || upload.VarCount() != chosen->variables) {
    std::fprintf(stderr, "cold Read gave other results than the body holds\n");
    return 1;
  }
  std::printf("%.0f\n", static_cast<double>(body.size()) / seconds);
  return 0;
}

constexpr int kSmallFiles = 199990;

std::string smallFilesBody() {
  const std::string line = "--b";
  std::string body;
  body.reserve(kSmallFiles * 66);
  for (int i = 0; i < kSmallFiles; ++i)
    body += line + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n\r\n" +
            static_cast<char>('a' + i % 26) + "\r\n";
  return body + line + "--\r\n";
}

// Reads the body of many one-byte files in memory; prints the body's size
// and the peak resident memory in kB.
int measureSmallFiles() {
  const std::string body = smallFilesBody();
  TProcess upload(std::make_unique<bench::MemoryHost>(body));
  upload.Read();
  if (upload.FileQty() != kSmallFiles || upload.FileData(kSmallFiles - 1).size() != 1) {
    std::fprintf(stderr, "Read of the small files gave other results than the body holds\n");
    return 1;
  }
  std::printf("%zu %ld\n", body.size(), peakResidentKB());
  return 0;
}

constexpr int kColdRuns = 3;

std::string formatRatio(double ratio) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", ratio);
  return text;
}

// Runs this program in a fresh process with the arguments given; what it
// printed, or empty when it failed.
std::string inFreshProcess(const std::string& arguments) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  FILE* child = popen(("'" + std::string(self) + "' " + arguments).c_str(), "r");
  if (!child) return "";
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, child)) out += buffer;
  return pclose(child) == 0 ? out : "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--direct-memory") == 0)
    return measureDirectMode(static_cast<size_t>(std::atol(argv[2])));
  if (argc == 3 && std::strcmp(argv[1], "--cold-read") == 0) return measureColdRead(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--small-files") == 0) return measureSmallFiles();

  benchmark::Initialize(&argc, argv);
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto fromFreshProcess = [](const std::string& arguments) {
    const std::string out = inFreshProcess(arguments);
    return out.empty() ? -1.0 : std::strtod(out.c_str(), nullptr);
  };
  // Before the memory measurements below: on a virtual machine whose host
  // takes back the memory a guest frees, a process started right after
  // hundreds of megabytes were freed gets pages that cost the host's faults
  // too. The median of a few fresh processes, each one's figure printed.
  const double memcpyRate = reporter.rates["BM_Memcpy100MB"];
  // The median bytes per CPU second of the first Read in a few fresh
  // processes, and each one's ratio to memcpy as text.
  struct Cold {
    double rate;
    std::string text;
  };
  auto coldRead = [&](const char* which) {
    std::vector<double> rates;
    for (int i = 0; i < kColdRuns; ++i)
      rates.push_back(std::max(0.0, fromFreshProcess(std::string("--cold-read ") + which)));
    auto toMemcpy = [&](double rate) { return memcpyRate > 0 ? rate / memcpyRate : 0.0; };
    std::string each;
    for (double r : rates) each += (each.empty() ? "" : " ") + formatRatio(toMemcpy(r));
    std::sort(rates.begin(), rates.end());
    const double median = rates[rates.size() / 2];
    return Cold{median, formatRatio(toMemcpy(median)) + " (median of " + std::to_string(kColdRuns) +
                            " fresh processes: " + each + ")"};
  };
  const Cold coldDense = coldRead("dense");
  const Cold coldFile = coldRead("file");
  const Cold coldGallery = coldRead("gallery");
  const long small = static_cast<long>(fromFreshProcess("--direct-memory 10"));
  const long large = static_cast<long>(fromFreshProcess("--direct-memory 500"));
  std::printf("direct mode peak resident memory: 10 MB body %ld kB, 500 MB body %ld kB, difference %ld kB\n",
              small, large, large - small);

  size_t smallBody = 0;
  long smallPeakKB = -1;
  if (std::sscanf(inFreshProcess("--small-files").c_str(), "%zu %ld", &smallBody, &smallPeakKB) ==
      2) {
    const double bodyMB = static_cast<double>(smallBody) / kMB, peakMB = smallPeakKB / 1024.0;
    std::printf(
        "small files in memory: peak resident %.1f MB for a %.1f MB body of %d one-byte files\n",
        peakMB, bodyMB, kSmallFiles);
    std::printf("small files peak/(6 x body + 30 MB) = %.2f\n", peakMB / (6 * bodyMB + 30));
  } else {
    std::printf("small files in memory: the measurement failed\n");
  }

  auto rate = [&](const char* name) { return reporter.rates[name]; };
  auto over = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  auto ratio = [&](const char* name) { return over(rate(name), memcpyRate); };
  std::printf("dense/memcpy = %.2f\n", ratio("BM_Parse50MBDenseFile"));
  std::printf("whole Read warm, dense/memcpy = %.2f\n", ratio("BM_Read50MBDenseFile"));
  std::printf("whole Read cold, dense/memcpy = %s\n", coldDense.text.c_str());
  std::printf("whole Read, small fields/memcpy = %.2f\n", ratio("BM_Read2000SmallFields"));
  std::printf("whole Read cold, 100 MB file/memcpy = %s\n", coldFile.text.c_str());
  std::printf("whole Read warm, 100 MB file/memcpy = %.2f\n", ratio("BM_Read100MBFile"));
  std::printf("20 files of 5 MB/memcpy = %.2f\n", ratio("BM_Parse20Files5MB"));
  std::printf("whole Read warm, 20 files of 5 MB/memcpy = %.2f\n", ratio("BM_Read20Files5MB"));
  std::printf("whole Read cold, 20 files of 5 MB/memcpy = %s\n", coldGallery.text.c_str());

  // How much of the parser's speed the whole Read keeps (target 0.5 and
  // more), and the 20 files against the one large file (target 0.8 and more).
  struct Pair {
    const char* label;
    const char* parse;
    const char* read;
    double cold;
  };
  const Pair pairs[] = {{"a: 100 MB file", "BM_Parse100MBFile", "BM_Read100MBFile", coldFile.rate},
                        {"b: 2000 small fields", "BM_Parse2000SmallFields", "BM_Read2000SmallFields", 0},
                        {"c: dense 50 MB file", "BM_Parse50MBDenseFile", "BM_Read50MBDenseFile", coldDense.rate},
                        {"d: 20 files of 5 MB", "BM_Parse20Files5MB", "BM_Read20Files5MB", coldGallery.rate}};
  for (const Pair& p : pairs) {
    std::printf("Read/parse, %s: warm %.2f", p.label, over(rate(p.read), rate(p.parse)));
    if (p.cold > 0) std::printf(", cold %.2f", over(p.cold, rate(p.parse)));
    std::printf("\n");
  }
  std::printf("d/a (20 files of 5 MB against the 100 MB file): parse %.2f, Read warm %.2f, Read cold %.2f\n",
              over(rate("BM_Parse20Files5MB"), rate("BM_Parse100MBFile")),
              over(rate("BM_Read20Files5MB"), rate("BM_Read100MBFile")), over(coldGallery.rate, coldFile.rate));
  std::printf("small fields/memcpy = %.2f\n", ratio("BM_Parse2000SmallFields"));
  std::printf("parser/memcpy = %.2f\n", ratio("BM_Parse100MBFile"));
  return 0;
}
