#include "devices/mic-plugin/mic_ring_reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "devices/shared/mic_ring.hpp"
#include "tests/testkit/shared_file_path.hpp"

namespace tavlo {
namespace {

using testkit::SharedFilePath;

// The writer's side, driven sample by sample: sample n carries the value n (mod 2^24, exact in float).
class Ring {
 public:
  explicit Ring(const std::string& name) {
    std::string error;
    memory_ = SharedMemory::createFresh(name, micring::kTotalBytes, error);
    micring::RingView(memory_->bytes()).writeHeader();
  }
  micring::RingView view() const { return micring::RingView(memory_->bytes()); }
  void writeUpTo(uint64_t position) {
    for (uint64_t n = view().writePosition(); n < position; ++n) view().storeSample(n, value(n));
    view().publishWritePosition(position);
  }
  static float value(uint64_t n) { return static_cast<float>(n % (1u << 24)); }
  std::span<uint8_t> bytes() { return memory_->bytes(); }

 private:
  std::unique_ptr<SharedMemory> memory_;
};

std::vector<float> readSamples(MicRingReader& reader, size_t count) {
  std::vector<float> out(count, -1.0f);
  reader.read(out);
  return out;
}

TEST(MicRingReader, DeliversSilenceWithoutARingAndCountsIO) {
  SharedFilePath name;
  MicRingReader reader(name);
  reader.startIO();
  reader.startIO();
  reader.stopIO();
  EXPECT_EQ(reader.ioCount(), 1u);
  EXPECT_EQ(readSamples(reader, 480), std::vector<float>(480, 0.0f));
  reader.stopIO();
  reader.stopIO();  // unmatched: stays at zero
  EXPECT_EQ(reader.ioCount(), 0u);
}

TEST(MicRingReader, StartsAtTheNewestSampleAndPadsAnUnderrunWithZeros) {
  SharedFilePath name;
  Ring ring(name);
  ring.writeUpTo(1'000'000);
  MicRingReader reader(name);
  reader.startIO();
  EXPECT_EQ(readSamples(reader, 4), std::vector<float>(4, 0.0f));  // no backlog
  ring.writeUpTo(1'000'003);
  EXPECT_EQ(readSamples(reader, 5), (std::vector<float>{1'000'000, 1'000'001, 1'000'002, 0, 0}));
  EXPECT_EQ(reader.readPosition(), 1'000'003u);
}

TEST(MicRingReader, PositionRulesAgainstTheWriter) {
  struct Case {
    const char* why;
    uint64_t readFrom;
    uint64_t writtenTo;
    uint64_t firstSample;  // what the next read starts with (when there is one)
    uint64_t positionAfter2;
  };
  const Case cases[] = {
      {"more than a ring behind: resume 100 ms behind the writer", 0, 70'000, 65'200, 65'202},
      {"exactly a ring behind: no jump", 10'000, 75'536, 10'000, 10'002},
      {"writer started over below the read position: follow it at once", 500'000, 2'000, 0, 2'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    SharedFilePath name;
    Ring ring(name);
    ring.writeUpTo(c.readFrom);
    MicRingReader reader(name);
    reader.startIO();
    ASSERT_EQ(reader.readPosition(), c.readFrom);
    if (c.writtenTo < c.readFrom) {
      ring.view().publishWritePosition(c.writtenTo);  // a writer that came back with a fresh count
      EXPECT_EQ(readSamples(reader, 2), std::vector<float>(2, 0.0f));
      ring.writeUpTo(c.writtenTo + 1);
      EXPECT_EQ(readSamples(reader, 1)[0], Ring::value(c.writtenTo));  // not hours of silence
    } else {
      ring.writeUpTo(c.writtenTo);
      auto got = readSamples(reader, 2);
      EXPECT_EQ(got[0], Ring::value(c.firstSample));
      EXPECT_EQ(got[1], Ring::value(c.firstSample + 1));
      EXPECT_EQ(reader.readPosition(), c.positionAfter2);
    }
  }
}

TEST(MicRingReader, NeverReadsARingWithAnotherLayout) {
  for (size_t field : {micring::kMagicOffset, micring::kCapacityOffset}) {
    SharedFilePath name;
    Ring ring(name);
    ring.writeUpTo(1000);
    std::memset(ring.bytes().data() + field, 0xFF, 4);
    MicRingReader reader(name);
    reader.startIO();
    EXPECT_FALSE(reader.mapped());
    EXPECT_EQ(readSamples(reader, 64), std::vector<float>(64, 0.0f));
  }
}

TEST(MicRingReader, MapsARingThatAppearsDuringIOAndOneThatReplacesIt) {
  SharedFilePath name;
  MicRingReader reader(name);
  reader.startIO();
  EXPECT_FALSE(reader.mapped());
  auto first = std::make_unique<Ring>(name);
  first->writeUpTo(100'000);
  // Mapped by a read: reading goes on from the old position (0), then catches up.
  EXPECT_EQ(readSamples(reader, 1)[0], Ring::value(100'000 - MicRingReader::kCatchUpLagSamples));
  ASSERT_TRUE(reader.mapped());

  // A host replaces the ring (another build's ring was there): the reader maps the new one within
  // one check interval and follows its count.
  Ring second(name);
  second.writeUpTo(10);
  for (uint64_t read = 0; read <= MicRingReader::kReplacementCheckSamples; read += 480) readSamples(reader, 480);
  second.writeUpTo(20);
  auto got = readSamples(reader, 10);
  EXPECT_EQ(got[0], Ring::value(10));
  EXPECT_EQ(got[9], Ring::value(19));
}

}  // namespace
}  // namespace tavlo
