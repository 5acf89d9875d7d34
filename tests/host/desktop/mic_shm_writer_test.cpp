#include "host/desktop/mic_shm_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "devices/shared/mic_ring.hpp"
#include "tests/testkit/shared_file_path.hpp"

namespace tavlo {
namespace {

using testkit::SharedFilePath;

Bytes pcm(const std::vector<int16_t>& samples) {
  Bytes bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// The ring as another process sees it.
std::unique_ptr<SharedMemory> peek(const std::string& name) {
  std::string error;
  return SharedMemory::openExisting(name, micring::kTotalBytes, SharedMemory::Access::readWrite, error);
}

struct stat statOf(const std::string& path) {
  struct stat st{};
  lstat(path.c_str(), &st);
  return st;
}

TEST(MicShmWriter, CreatesAPrivateRingWithTheHeaderAtItsOffsets) {
  SharedFilePath name;
  auto writer = MicShmWriter::create(name, {});
  ASSERT_TRUE(writer);
  auto st = statOf(name);
  EXPECT_EQ(st.st_size, 262168);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // nobody else may inject audio
  auto ring = peek(name);
  const uint8_t* b = ring->bytes().data();
  EXPECT_EQ(std::vector<uint8_t>(b, b + 12), (std::vector<uint8_t>{0x43, 0x4D, 0x4C, 0x54, 0x80, 0xBB, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(micring::RingView(ring->bytes()).writePosition(), 0u);
}

TEST(MicShmWriter, ConvertsSamplesExactlyAndWrapsAtTheCapacity) {
  SharedFilePath name;
  auto writer = MicShmWriter::create(name, {});
  ASSERT_TRUE(writer);
  auto ring = peek(name);
  micring::RingView view(ring->bytes());
  view.publishWritePosition(65000);

  std::vector<int16_t> samples(960, 0);
  samples[0] = -32768;
  samples[1] = 32767;
  samples[535] = 1;    // index 65,535
  samples[536] = -1;   // wraps to index 0
  samples[959] = 100;  // index 423
  Bytes bytes = pcm(samples);
  bytes.push_back(0x7F);  // an odd trailing byte is not a sample
  writer->write(bytes);

  EXPECT_EQ(view.writePosition(), 65960u);
  EXPECT_EQ(view.sample(65000), -1.0f);
  EXPECT_EQ(view.sample(65001), 0.999969482421875f);
  EXPECT_EQ(view.sample(65535), 1.0f / 32768);
  EXPECT_EQ(view.sample(0), -1.0f / 32768);
  EXPECT_EQ(view.sample(423), 100.0f / 32768);
  float slot0;
  std::memcpy(&slot0, ring->bytes().data() + 24, 4);
  EXPECT_EQ(slot0, -1.0f / 32768);  // sample 65,536 lands in the first slot
}

TEST(MicShmWriter, ReopeningKeepsThePosition) {
  SharedFilePath name;
  {
    auto writer = MicShmWriter::create(name, {});
    ASSERT_TRUE(writer);
    writer->write(pcm(std::vector<int16_t>(1000, 5)));
  }
  auto writer = MicShmWriter::create(name, {});
  ASSERT_TRUE(writer);
  writer->write(pcm(std::vector<int16_t>(10, 5)));
  EXPECT_EQ(micring::RingView(peek(name)->bytes()).writePosition(), 1010u);
}

TEST(MicShmWriter, GrowsASmallerObjectAndReplacesAForeignLayout) {
  SharedFilePath name;
  int fd = open(name.str().c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(ftruncate(fd, 4096), 0);
  close(fd);
  ASSERT_TRUE(MicShmWriter::create(name, {}));
  EXPECT_EQ(statOf(name).st_size, 262168);

  // Another build's header: its position means nothing here, so the ring starts afresh.
  auto ring = peek(name);
  micring::RingView(ring->bytes()).publishWritePosition(777);
  std::memcpy(ring->bytes().data() + 8, "\x00\x00\x02\x00", 4);  // capacity 131072
  std::vector<std::string> lines;
  auto writer = MicShmWriter::create(name, [&](const std::string& line) { lines.push_back(line); });
  ASSERT_TRUE(writer);
  EXPECT_TRUE(ring->replaced());
  auto fresh = peek(name);
  EXPECT_TRUE(micring::RingView(fresh->bytes()).valid());
  EXPECT_EQ(micring::RingView(fresh->bytes()).writePosition(), 0u);
  EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
}  // namespace tavlo
