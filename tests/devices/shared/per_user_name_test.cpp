// The names the host and the daemons meet at are the user's own, and an object of the same name that
// another user made is never mapped.
#include "devices/shared/per_user_name.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "devices/shared/cam_mailbox.hpp"
#include "devices/shared/mic_ring.hpp"
#include "platform/runtime/shared_memory.hpp"
#include "tests/testkit/shm_name.hpp"

namespace tavlo {
namespace {

TEST(PerUserShmName, BothSidesUseANameThatCarriesTheUsersUid) {
  const std::string uid = std::to_string(::geteuid());
  EXPECT_EQ(micring::defaultName(), "/tavlo-mic-" + uid);
  EXPECT_EQ(cammailbox::defaultName(), "/tavlo-cam-" + uid);
  EXPECT_NE(perUserShmName(micring::kNameBase, 1000), perUserShmName(micring::kNameBase, 1001));
}

// Mapping checks the owner of the object, not just its name: an object made first by another user
// (simulated by handing ours to "nobody", which needs root) is refused by the reader and replaced by
// the writer.
TEST(PerUserShmName, AnObjectOwnedByAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "handing an object to another user needs root";
  testkit::ShmName name;
  int fd = ::shm_open(name.str().c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(micring::kTotalBytes)), 0);
  ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
  ::close(fd);
  std::string error;
  EXPECT_EQ(SharedMemory::openExisting(name, micring::kTotalBytes, SharedMemory::Access::readOnly, error), nullptr);
  EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
  error.clear();
  auto taken = SharedMemory::openOrCreate(name, micring::kTotalBytes, error);
  ASSERT_NE(taken, nullptr) << error;
  EXPECT_TRUE(SharedMemory::openExisting(name, micring::kTotalBytes, SharedMemory::Access::readOnly, error));
}

}  // namespace
}  // namespace tavlo
