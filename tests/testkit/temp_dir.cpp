#include "tests/testkit/temp_dir.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>

namespace tavlo::testkit {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tavlo-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

unsigned fileMode(const std::filesystem::path& path) {
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

}  // namespace tavlo::testkit
