// Cost of form variables as a page meets them: Read of a body of many small
// fields, then listing every variable through VarName, VarByIndex and Value,
// as the demo's upload page does. Prints the cost per field for each count
// and the ratio of the largest count's to the smallest's, which stays near 1
// when reading and listing cost the same per field at any size.
//
// Then the peak resident memory of direct-mode Reads fed hostile bodies (one
// giant header line, one giant delimiter line, one giant text value, a flood
// of tiny parts, a flood of parts keeping all the text the limits allow) at
// two sizes each, beside a well-formed body, each in a fresh process: with
// the parser's limits, the peak does not follow the body.
//
//   fields-bench [field count]... [rounds=N]
//     (default 2000 16000 128000, and rounds adding up to a million fields
//     of the largest count, at least 7)
//
// Times are CPU seconds of this process, measured in rounds that take every
// count in turn, so that the figures hold on a machine shared with other
// work.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "process/bench/memory_host.h"
#include "process/process.h"

namespace {

using namespace velmora;

const std::string kLine = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
constexpr size_t kMB = 1 << 20;

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A host whose body is made piece by piece as it is read, so that a body of
// any length costs no memory of its own: a head, a filler repeated up to a
// length, and a tail.
class TGeneratedHost final : public IUploadHost {
 public:
  TGeneratedHost(std::string head, std::string filler, uint64_t fillerBytes, std::string tail)
      : head_(std::move(head)), tail_(std::move(tail)), filler_(std::move(filler)), fillerBytes_(fillerBytes) {
    // Whole copies of the filler, so that a read copies in long runs.
    while (filler_.size() < 4096) filler_ += filler_;
  }

  uint64_t total() const { return head_.size() + fillerBytes_ + tail_.size(); }
  int32_t TotalBytes() override { return static_cast<int32_t>(static_cast<uint32_t>(total())); }
  bool IsClientConnected() override { return true; }
  // Copies from the head, the filler or the tail, a run at a time.
  std::unique_ptr<IHostBlock> BinaryRead(int64_t count, bool) override {
    block_.resize(static_cast<size_t>(count));
    uint8_t* buffer = block_.data();
    size_t n = 0;
    while (n < static_cast<size_t>(count) && position_ < total()) {
      const uint64_t fillerEnd = head_.size() + fillerBytes_;
      const std::string& source = position_ < head_.size() ? head_ : position_ < fillerEnd ? filler_ : tail_;
      const uint64_t offset = position_ < head_.size() ? position_
                              : position_ < fillerEnd  ? (position_ - head_.size()) % filler_.size()
                                                       : position_ - fillerEnd;
      const uint64_t segmentLeft = position_ < head_.size() ? head_.size() - position_
                                   : position_ < fillerEnd  ? fillerEnd - position_
                                                            : total() - position_;
      const size_t run = static_cast<size_t>(
          std::min<uint64_t>({static_cast<uint64_t>(count) - n, source.size() - offset, segmentLeft}));
      std::memcpy(buffer + n, source.data() + offset, run);
      n += run;
      position_ += run;
    }
    return std::make_unique<TBorrowedBlock>(ByteSpan{buffer, n});
  }
  void SetApplicationValue(const ustring&, int32_t) override {}
  void RemoveApplicationValue(const ustring&) override {}
  ustring MapPath(const ustring&) override { return u"C:\\site"; }

 private:
  std::string head_, tail_, filler_;
  uint64_t fillerBytes_;
  uint64_t position_ = 0;
  std::vector<uint8_t> block_;
};


std::string field(const std::string& name, const std::string& value) {
  return kLine + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

std::string smallFieldsBody(int count) {
  std::string body;
  for (int i = 0; i < count; ++i) body += field("field" + std::to_string(i), "value " + std::to_string(i));
  return body + kLine + "--\r\n";
}

struct FieldCost {
  double read = 0, listing = 0;  // seconds per field (or their ratios)
  double together = 0;           // for ratios: of the sums
};

// One Read and one listing of a body of count fields; fails loudly on a wrong
// result, so that a fast wrong answer never shows as a figure.
FieldCost readAndList(const std::string& body, int count) {
  TProcess upload(std::make_unique<bench::MemoryHost>(body));
  const double start = cpuSeconds();
  upload.Read();
  const double read = cpuSeconds();
  size_t characters = 0;
  for (int32_t i = 0; i < upload.VarCount(); ++i) {
    const ustring name = upload.VarName(i);
    characters += name.size() + upload.VarByIndex(i).size() + upload.Value(name).size();
  }
  const double listed = cpuSeconds();

  size_t expected = 0;
  for (int i = 0; i < count; ++i) {
    const size_t digits = std::to_string(i).size();
    expected += (5 + digits) + 2 * (6 + digits);  // "field<i>", twice "value <i>"
  }
  if (upload.VarCount() != count || characters != expected) {
    std::fprintf(stderr, "fields-bench: %d fields read as %d variables, %zu characters (expected %zu)\n", count,
                 upload.VarCount(), characters, expected);
    std::exit(1);
  }
  return {(read - start) / count, (listed - read) / count};
}

// Per-field costs of each count in rounds: in a round every count reads
// about as many fields (the largest count once, smaller ones as many times as
// fit), so that the counts of a round share the machine's conditions. The
// figures are the medians over the rounds, the ratio the median of the
// rounds' ratios.
struct Measured {
  std::vector<FieldCost> costs;  // per count
  FieldCost ratio;               // largest count over smallest
};

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

Measured measureFields(const std::vector<int>& counts, int rounds) {
  const int largest = *std::max_element(counts.begin(), counts.end());
  std::vector<std::string> bodies;
  for (int count : counts) bodies.push_back(smallFieldsBody(count));
  std::vector<std::vector<double>> reads(counts.size()), listings(counts.size());
  std::vector<double> readRatios, listingRatios, ratios;
  if (rounds <= 0) rounds = std::max(7, 1000000 / largest);
  for (int round = 0; round < rounds; ++round) {
    std::vector<FieldCost> roundCosts;
    for (size_t c = 0; c < counts.size(); ++c) {
      const int runs = std::max(1, largest / counts[c]);
      FieldCost sum;
      for (int run = 0; run < runs; ++run) {
        const FieldCost cost = readAndList(bodies[c], counts[c]);
        sum.read += cost.read / runs;
        sum.listing += cost.listing / runs;
      }
      reads[c].push_back(sum.read);
      listings[c].push_back(sum.listing);
      roundCosts.push_back(sum);
    }
    const FieldCost &first = roundCosts.front(), &last = roundCosts.back();
    readRatios.push_back(last.read / first.read);
    listingRatios.push_back(last.listing / first.listing);
    ratios.push_back((last.read + last.listing) / (first.read + first.listing));
  }
  Measured m;
  for (size_t c = 0; c < counts.size(); ++c) m.costs.push_back({median(reads[c]), median(listings[c])});
  m.ratio = {median(readRatios), median(listingRatios)};
  m.ratio.together = median(ratios);
  return m;
}

// --- Direct mode fed hostile bodies -----------------------------------------

long peakResidentKB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

std::unique_ptr<TGeneratedHost> hostileBody(const std::string& kind, uint64_t bytes) {
  const std::string part = kLine + "\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n";
  const std::string end = "\r\n" + kLine + "--\r\n";
  if (kind == "well-formed") return std::make_unique<TGeneratedHost>(part, "value", 5, end);
  if (kind == "header-line")
    return std::make_unique<TGeneratedHost>(kLine + "\r\nContent-Disposition: form-data; name=\"t\"; x=\"", "h",
                                            bytes, "\"\r\n\r\nv" + end);
  if (kind == "delimiter-line") return std::make_unique<TGeneratedHost>("--", "-", bytes, "\r\n" + part + "v" + end);
  if (kind == "text-value") return std::make_unique<TGeneratedHost>(part, "v", bytes, end);
  // An empty delimiter line makes every CR LF after a part's headers end the
  // part: a header line "x", the empty line, an empty value, seven bytes.
  if (kind == "tiny-parts") return std::make_unique<TGeneratedHost>("\r\n", "x\r\n\r\n\r\n", bytes, "");
  // Parts that each keep 83 characters of text: the most memory the limits
  // allow, reached at the limit on parts with the text just within its own.
  if (kind == "full-parts")
    return std::make_unique<TGeneratedHost>(
        "", kLine + "\r\nContent-Disposition: form-data; name=\"" + std::string(40, 'n') + "\"\r\n\r\n" +
                std::string(43, 'v') + "\r\n",
        bytes, "");
  return nullptr;
}

// Reads one body in direct mode; prints the peak resident memory in kB and
// how Read ended.
int measureDirectMode(const std::string& kind, uint64_t bytes) {
  auto host = hostileBody(kind, bytes);
  if (!host) return 2;
  std::string outcome = "read";
  {
    TProcess upload(std::move(host));
    upload.SetSaveDirect(true);
    upload.SetSaveDirectPath(u"C:\\uploads\\");
    upload.SetSaveDirectUseExistingName(true);
    try {
      upload.Read();
    } catch (const Exception& e) {
      outcome = "failed: " + std::string(e.what());
    }
  }
  std::printf("%ld %s\n", peakResidentKB(), outcome.c_str());
  return 0;
}

// Runs this program in a fresh process to measure one body.
std::string directModePeak(const std::string& kind, uint64_t bytes) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "?";
  self[n] = '\0';
  const std::string command =
      "'" + std::string(self) + "' --direct-memory " + kind + " " + std::to_string(bytes);
  FILE* child = popen(command.c_str(), "r");
  if (!child) return "?";
  char line[1024] = "";
  if (!std::fgets(line, sizeof line, child)) line[0] = '\0';
  if (pclose(child) != 0) return "?";
  line[std::strcspn(line, "\n")] = '\0';
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--direct-memory") == 0)
    return measureDirectMode(argv[2], std::strtoull(argv[3], nullptr, 10));

  std::vector<int> counts;
  int rounds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "rounds=", 7) == 0)
      rounds = std::atoi(argv[i] + 7);
    else
      counts.push_back(std::atoi(argv[i]));
  }
  if (counts.empty()) counts = {2000, 16000, 128000};

  const Measured m = measureFields(counts, rounds);
  for (size_t c = 0; c < counts.size(); ++c) {
    const FieldCost& cost = m.costs[c];
    std::printf("%7d fields: Read %.3f us/field, listing %.3f us/field, together %.3f us/field\n", counts[c],
                cost.read * 1e6, cost.listing * 1e6, (cost.read + cost.listing) * 1e6);
  }
  std::printf("per-field cost %d/%d fields = %.2f (Read %.2f, listing %.2f)\n", counts.back(), counts.front(),
              m.ratio.together, m.ratio.read, m.ratio.listing);
  std::fflush(stdout);

  std::printf("direct mode peak resident memory (kB) and outcome:\n");
  const struct {
    const char* kind;
    uint64_t mb;
  } bodies[] = {{"well-formed", 0},     {"header-line", 16}, {"header-line", 128}, {"delimiter-line", 16},
                {"delimiter-line", 128}, {"text-value", 16},  {"text-value", 128},  {"tiny-parts", 4},
                {"tiny-parts", 16},      {"full-parts", 32},  {"full-parts", 128}};
  for (const auto& body : bodies) {
    std::printf("  %-15s %4llu MB: %s\n", body.kind, static_cast<unsigned long long>(body.mb),
                directModePeak(body.kind, body.mb * kMB).c_str());
    std::fflush(stdout);
  }
  return 0;
}
