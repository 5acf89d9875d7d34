#pragma once
// Another account of this machine, made for one test (useradd, no home, no login) and removed after:
// the tests run as root and play the other user by handing it files.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace tavlo::testkit {

class TestAccount {
 public:
  TestAccount() : name_("tl" + std::to_string(::getpid() % 100000) + "x" + std::to_string(counter()++)) {
    const std::string add = "useradd --no-create-home --shell /usr/sbin/nologin " + name_ + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) return;
    if (const passwd* entry = ::getpwnam(name_.c_str())) uid_ = entry->pw_uid, gid_ = entry->pw_gid;
  }
  ~TestAccount() {
    if (uid_) (void)std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
  }
  TestAccount(const TestAccount&) = delete;
  TestAccount& operator=(const TestAccount&) = delete;

  bool made() const { return uid_.has_value(); }
  const std::string& name() const { return name_; }
  uid_t uid() const { return *uid_; }

  // Hands `path` and everything under it (never through a link) to this account.
  void own(const std::filesystem::path& path) const {
    (void)::lchown(path.c_str(), *uid_, gid_);
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::symlink_status(path, ec))) return;
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      (void)::lchown(it->path().c_str(), *uid_, gid_);
    }
  }

 private:
  static int& counter() {
    static int value = 0;
    return value;
  }
  std::string name_;
  std::optional<uid_t> uid_;
  gid_t gid_ = 0;
};

}  // namespace tavlo::testkit
