#include "host/controller/file_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using testkit::fileMode;
using testkit::TempDir;

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(FileLog, StampsEachLineWithLocalTimeToTheMillisecond) {
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 17;
  local.tm_hour = 13;
  local.tm_min = 5;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  auto at = std::chrono::system_clock::from_time_t(std::mktime(&local)) + std::chrono::milliseconds(7);
  EXPECT_EQ(FileLog::formatLine("host nasłuchuje", at), "[13:05:09.007] host nasłuchuje\n");
  EXPECT_EQ(FileLog::formatLine("a\nb", at), "[13:05:09.007] a\nb\n") << "one stamp for a message of two lines";
}

TEST(FileLog, CreatesAPrivateFileInAPrivateFolderAndAppendsAcrossRuns) {
  TempDir home;
  const auto path = home / "state" / "tavlo" / FileLog::fileName;
  {
    FileLog log(path);
    log.append("pierwsza");
  }
  EXPECT_EQ(fileMode(path.parent_path()), 0700u);
  ::chmod(path.c_str(), 0644);  // as an earlier version might have left it
  {
    FileLog log(path);
    log.append("druga");
    log.flush();
    EXPECT_EQ(fileMode(path), 0600u);
  }
  std::regex twoLines(R"(\[\d\d:\d\d:\d\d\.\d{3}\] pierwsza\n\[\d\d:\d\d:\d\d\.\d{3}\] druga\n)");
  EXPECT_TRUE(std::regex_match(readAll(path), twoLines)) << readAll(path);
}

TEST(FileLog, NeverWritesThroughALinkOrIntoSomethingElse) {
  TempDir home;
  const auto target = home / "elsewhere";
  std::ofstream(target) << "not a log\n";
  const auto link = home / "link.log";
  std::filesystem::create_symlink(target, link);
  const auto fifo = home / "fifo.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  FileLog throughLink(link);
  throughLink.append("x");
  throughLink.flush();
  FileLog intoFifo(fifo);
  intoFifo.append("x");
  intoFifo.flush();  // returns: a FIFO without a reader is refused, not waited on
  EXPECT_EQ(readAll(target), "not a log\n");
}

}  // namespace
}  // namespace tavlo
