// The byte streams: the growing memory stream and the chunked one that keeps
// stored bytes in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "io/stream.h"
#include "io/testing/stream_bytes.h"

using namespace velmora;
using velmora::testing::bytesOf;
using velmora::testing::streamOf;

TEST(StreamErrors, Messages) {
  EXPECT_EQ(EFCreateError(u"C:\\x\\a.txt", u"Access denied").message(),
            u"Cannot create file \"C:\\x\\a.txt\". Access denied");
  EXPECT_EQ(EWriteError().message(), u"Stream write error");
}

TEST(MemoryStream, WriteReadSeekAndGrowth) {
  TMemoryStream s;
  s.write("abc", 3);
  EXPECT_EQ(s.size(), 3);
  EXPECT_EQ(s.position(), 3);
  s.seek(1);
  s.write("XYZ", 3);  // overwrites past the end and extends
  EXPECT_EQ(bytesOf(s), "aXYZ");
  s.seek(0);
  char buf[8] = {};
  EXPECT_EQ(s.read(buf, sizeof buf), 4u);
  EXPECT_EQ(std::string(buf, 4), "aXYZ");
  EXPECT_EQ(s.read(buf, 1), 0u);

  // Many small writes grow the buffer geometrically, not once per write.
  TMemoryStream big;
  int reallocations = 0;
  size_t lastCapacity = 0;
  for (int i = 0; i < 100000; ++i) {
    big.write("0123456789", 10);
    if (big.capacity() != lastCapacity) ++reallocations, lastCapacity = big.capacity();
  }
  EXPECT_EQ(big.size(), 1000000);
  EXPECT_LT(reallocations, 30);
}

TEST(MemoryStream, ReadBufferPastEndIsReadError) {
  TMemoryStream s = streamOf("ab");
  char buf[3];
  try {
    s.readBuffer(buf, 3);
    FAIL() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.message(), u"Stream read error");
  }
}

std::string bytesOf(const TChunkedMemoryStream& s) {
  std::string joined;
  s.forEachRun([&](const uint8_t* data, size_t size) { joined.append(reinterpret_cast<const char*>(data), size); });
  return joined;
}

// Files arrive in pieces of any size: whatever the pieces, the bytes stored
// first stay where they are, and the memory held stays close to the size.
TEST(ChunkedMemoryStream, StoredBytesNeverMoveAndMemoryFollowsTheSize) {
  const size_t kLarge = 12u << 20;
  struct Case {
    size_t piece, total;
  } cases[] = {{1, 300000}, {7, kLarge}, {4096, kLarge}, {102400, kLarge}, {kLarge, kLarge}, {100, 100}};
  std::string pattern;
  for (int i = 0; i < 65521; ++i) pattern += static_cast<char>(i * 7 + i / 256);
  for (const Case& c : cases) {
    SCOPED_TRACE("pieces of " + std::to_string(c.piece) + ", " + std::to_string(c.total) + " bytes");
    std::string expected;
    expected.reserve(c.total);
    while (expected.size() < c.total) expected += pattern.substr(0, c.total - expected.size());

    TChunkedMemoryStream s;
    const uint8_t* first = nullptr;
    for (size_t done = 0; done < c.total; done += c.piece) {
      s.write(expected.data() + done, std::min(c.piece, c.total - done));
      if (!first) s.forEachRun([&](const uint8_t* data, size_t) { first = first ? first : data; });
    }
    const uint8_t* firstNow = nullptr;
    s.forEachRun([&](const uint8_t* data, size_t) { firstNow = firstNow ? firstNow : data; });
    EXPECT_EQ(firstNow, first);
    ASSERT_EQ(s.size(), static_cast<int64_t>(c.total));
    EXPECT_TRUE(bytesOf(s) == expected);
    const size_t spare = s.capacity() - c.total;
    EXPECT_LT(spare, TChunkedMemoryStream::kMaxChunk);
    EXPECT_LE(spare, std::max<size_t>(c.total, 4096));
    if (c.total >= kLarge) {
      EXPECT_LE(s.capacity(), c.total + c.total / 10);
    }
  }
}

// The stream against a std::string doing the same: writes anywhere (past the
// end they leave zeros), reads, seeks, across chunk edges.
TEST(ChunkedMemoryStream, BehavesLikeAByteString) {
  std::mt19937 rng(11);
  TChunkedMemoryStream s;
  std::string model;
  size_t position = 0;
  for (int step = 0; step < 3000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const size_t count = rng() % 3 == 0 ? rng() % 20000 : rng() % 300;
    switch (rng() % 4) {
      case 0: {  // seek, now and then past the end
        position = rng() % (model.size() + 100);
        s.seek(static_cast<int64_t>(position));
        break;
      }
      case 1: {
        std::string buffer(count, '\0'), want;
        if (position < model.size()) want = model.substr(position, count);
        ASSERT_EQ(s.read(buffer.data(), count), want.size());
        EXPECT_EQ(buffer.substr(0, want.size()), want);
        position += want.size();
        break;
      }
      default: {
        std::string bytes(count, '\0');
        for (char& c : bytes) c = static_cast<char>('a' + rng() % 26);
        s.write(bytes.data(), count);
        if (count > 0) {
          if (position > model.size()) model.resize(position, '\0');
          model.replace(position, std::min(count, model.size() - position), bytes);
          position += count;
        }
      }
    }
    ASSERT_EQ(s.size(), static_cast<int64_t>(model.size()));
    ASSERT_EQ(s.position(), static_cast<int64_t>(position));
  }
  EXPECT_GT(model.size(), 200000u);  // many chunks
  EXPECT_TRUE(bytesOf(s) == model);
  std::string copy(model.size() + 10, '\0');
  EXPECT_EQ(s.readAt(0, copy.data(), copy.size()), model.size());
  EXPECT_TRUE(copy.substr(0, model.size()) == model);
  EXPECT_EQ(s.readAt(model.size(), copy.data(), 1), 0u);
  s.seek(static_cast<int64_t>(model.size()) - 1);
  char two[2];
  EXPECT_THROW(s.readBuffer(two, 2), EReadError);
}

// A file of a few bytes takes a few bytes, not a page: a body of many tiny
// files must cost memory in proportion to its bytes.
TEST(ChunkedMemoryStream, ASmallFileTakesItsOwnSize) {
  for (size_t size : {1, 2, 7, 100, 4095}) {
    SCOPED_TRACE(std::to_string(size) + " bytes in one write");
    TChunkedMemoryStream s;
    const std::string bytes(size, 'x');
    s.write(bytes.data(), size);
    EXPECT_EQ(s.capacity(), size);
    EXPECT_TRUE(bytesOf(s) == bytes);
  }
  // Byte by byte, the chunks still double: a handful, not one per byte.
  TChunkedMemoryStream s;
  int chunks = 0;
  for (int i = 0; i < 5000; ++i) s.write("y", 1);
  s.forEachRun([&](const uint8_t*, size_t) { ++chunks; });
  EXPECT_LE(chunks, 14);
  EXPECT_LT(s.capacity(), 2 * 5000u);
  EXPECT_TRUE(bytesOf(s) == std::string(5000, 'y'));
}

// Writes a stream of full-size chunks only, each filled with its own byte.
std::unique_ptr<TChunkedMemoryStream> fullChunks(size_t count, char fill) {
  auto s = std::make_unique<TChunkedMemoryStream>();
  const std::string chunk(TChunkPool::kChunk, fill);
  for (size_t i = 0; i < count; ++i) s->write(chunk.data(), chunk.size());
  return s;
}

std::set<const uint8_t*> runsOf(const TChunkedMemoryStream& s) {
  std::set<const uint8_t*> runs;
  s.forEachRun([&](const uint8_t* data, size_t) { runs.insert(data); });
  return runs;
}

// A file's first megabyte comes in smaller chunks: those are kept as well, so
// that a file of a few megabytes is stored again without fresh pages. (Left
// kept here, they must give way to the full-size chunks of the test below.)
TEST(ChunkPool, KeepsTheSmallerChunksOfAFilesStartToo) {
  // Holds every full-size chunk kept, so that the pool has room.
  auto holding = fullChunks(TChunkPool::kKeptBytes / TChunkPool::kChunk, 'h');
  // In blocks as the parser writes a file: 64 KB to 512 KB chunks, then 1 MB.
  auto writeFile = [] {
    auto s = std::make_unique<TChunkedMemoryStream>();
    const std::string block(100000, 'f');
    for (int i = 0; i < 30; ++i) s->write(block.data(), block.size());
    return s;
  };
  auto first = writeFile();
  const std::set<const uint8_t*> runs = runsOf(*first);
  const size_t kept = TChunkPool::keptBytes();
  const size_t capacity = first->capacity();
  first.reset();
  EXPECT_EQ(TChunkPool::keptBytes(), kept + capacity);

  auto second = writeFile();
  EXPECT_EQ(runsOf(*second), runs);
  EXPECT_EQ(second->capacity(), capacity);
  EXPECT_EQ(TChunkPool::keptBytes(), kept);
  EXPECT_TRUE(bytesOf(*second) == std::string(3000000, 'f'));

  // Full-size chunks given back to a full pool take the smaller ones' place.
  second.reset();
  holding.reset();
  EXPECT_EQ(TChunkPool::keptBytes(), TChunkPool::kKeptBytes);
}

// The memory of a released stream serves the next one (pages already
// touched), up to the pool's bound; beyond it, chunks are freed.
TEST(ChunkPool, KeepsChunksForTheNextStreamUpToItsBound) {
  const size_t boundChunks = TChunkPool::kKeptBytes / TChunkPool::kChunk;
  auto large = fullChunks(boundChunks + 8, 'a');
  const std::set<const uint8_t*> released = runsOf(*large);  // all kept ones among them
  large.reset();
  EXPECT_EQ(TChunkPool::keptBytes(), TChunkPool::kKeptBytes);

  // The next stream's chunks are kept ones, written over with its own bytes.
  auto next = fullChunks(3, 'b');
  for (const uint8_t* run : runsOf(*next)) EXPECT_EQ(released.count(run), 1u);
  EXPECT_EQ(TChunkPool::keptBytes(), TChunkPool::kKeptBytes - 3 * TChunkPool::kChunk);
  EXPECT_TRUE(bytesOf(*next) == std::string(3 * TChunkPool::kChunk, 'b'));
  next.reset();
  EXPECT_EQ(TChunkPool::keptBytes(), TChunkPool::kKeptBytes);
}

// A 64-bit process keeps the whole memory of a large upload (200 MB) for the
// next one, which then writes into no fresh page at all.
TEST(ChunkPool, KeepsALargeUploadWholeInA64BitProcess) {
  if (sizeof(void*) < 8) GTEST_SKIP() << "a 32-bit process keeps less";
  constexpr size_t kUploadChunks = 200;
  fullChunks(kUploadChunks, 'c').reset();
  EXPECT_GE(TChunkPool::keptBytes(), kUploadChunks * TChunkPool::kChunk);
}

// Pages of several requests read at once: streams of several threads take
// and give chunks together, and each keeps its own bytes.
TEST(ChunkPool, StreamsOfSeveralThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int round = 0; round < 6; ++round) {
        const char fill = static_cast<char>('a' + t * 6 + round);
        auto s = fullChunks(12, fill);
        if (bytesOf(*s) != std::string(12 * TChunkPool::kChunk, fill)) ++wrong[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
  EXPECT_LE(TChunkPool::keptBytes(), TChunkPool::kKeptBytes);
}
