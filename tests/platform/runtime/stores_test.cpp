#include <gtest/gtest.h>

#include <cmath>

#include "platform/runtime/json_store.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/runtime/secret_store.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using testkit::fileMode;
using testkit::TempDir;

TEST(Settings, TypedGettersReadAnotherTypeAsAbsent) {
  Settings settings;
  settings.set("tl.flag", true);
  settings.set("tl.count", 42);
  settings.set("tl.ratio", 0.25);
  settings.set("tl.name", "Tavlo");

  EXPECT_EQ(settings.getBool("tl.flag"), true);
  EXPECT_EQ(settings.getInt("tl.count"), 42);
  EXPECT_EQ(settings.getDouble("tl.ratio"), 0.25);
  EXPECT_EQ(settings.getString("tl.name"), "Tavlo");
  EXPECT_EQ(settings.getDouble("tl.count"), 42.0) << "an integer reads as a double";

  EXPECT_EQ(settings.getInt("tl.ratio"), std::nullopt) << "a double is not an integer";
  EXPECT_EQ(settings.getBool("tl.count"), std::nullopt);
  EXPECT_EQ(settings.getInt("tl.flag"), std::nullopt);
  EXPECT_EQ(settings.getString("tl.count"), std::nullopt);
  EXPECT_EQ(settings.getDouble("tl.name"), std::nullopt);
  EXPECT_EQ(settings.getBool("tl.missing"), std::nullopt);

  settings.remove("tl.flag");
  EXPECT_FALSE(settings.contains("tl.flag"));
}

TEST(Settings, SurviveAReopenAndLiveInAPrivateFile) {
  TempDir dir;
  auto path = dir / "config/tavlo/settings.json";
  {
    Settings settings(path);
    settings.set("tl.scale", 1.5);
    settings.set("tl.hosts", JsonValue{{"A", {{"name", "Mac"}}}});
  }
  Settings reopened(path);
  EXPECT_EQ(reopened.getDouble("tl.scale"), 1.5);
  EXPECT_EQ(reopened.getValue("tl.hosts")->at("A").at("name"), "Mac");
  EXPECT_EQ(fileMode(path), 0600u);
  EXPECT_EQ(fileMode(path.parent_path()), 0700u);
}

TEST(Settings, AMalformedFileStartsEmptyAndIsReplacedAtTheFirstChange) {
  TempDir dir;
  auto path = dir / "settings.json";
  ASSERT_FALSE(writeFileAtomically(path, toBytes("{not json")));
  std::vector<std::string> logged;
  Settings settings(path, [&](const std::string& line) { logged.push_back(line); });
  EXPECT_FALSE(settings.contains("x"));
  EXPECT_EQ(logged.size(), 1u);
  settings.set("x", 1);
  EXPECT_EQ(Settings(path).getInt("x"), 1);
}

TEST(Settings, AFailedSaveIsLoggedAfterTheStoreLetsGoOfItsLocks) {
  TempDir dir;
  ASSERT_FALSE(writeFileAtomically(dir / "file", toBytes("x")));
  auto path = dir / "file/settings.json";  // its folder cannot be made: a file stands there
  std::vector<std::string> logged;
  Settings* store = nullptr;
  Settings settings(path, [&](const std::string& line) {
    logged.push_back(line);
    if (logged.size() == 1) store->set("tl.fromLog", 2);  // a sink that writes back must not deadlock
  });
  store = &settings;
  settings.set("tl.count", 1);
  EXPECT_EQ(logged.size(), 2u);
  EXPECT_EQ(settings.getInt("tl.fromLog"), 2);
}

TEST(Settings, AStringThatIsNotUtf8IsSavedRepairedAndLaterSavesGoOn) {
  TempDir dir;
  auto path = dir / "settings.json";
  Settings settings(path);
  settings.set("tl.name", "Mac\xFF");
  settings.set("tl.count", 3);
  Settings reopened(path);
  EXPECT_EQ(reopened.getString("tl.name"), "Mac\xEF\xBF\xBD");
  EXPECT_EQ(reopened.getInt("tl.count"), 3);
}

TEST(KeyValueStore, SurvivesAReopen) {
  TempDir dir;
  auto path = dir / "kv.json";
  KeyValueStore(path).set("tl.hosts", JsonValue::object({{"id", 1}}));
  EXPECT_EQ(KeyValueStore(path).getValue("tl.hosts"), JsonValue::object({{"id", 1}}));
}

TEST(SecretStore, SecretsSurviveAReopenInA0700DirectoryAs0600Files) {
  TempDir dir;
  auto secrets = dir / "data/tavlo/secrets";
  Bytes key{0, 1, 2, 3, 255};
  {
    FileSecretStore store(secrets);
    ASSERT_TRUE(store.write("com.example.e2e", "host-identity", key));
  }
  FileSecretStore reopened(secrets);
  EXPECT_EQ(reopened.read("com.example.e2e", "host-identity"), key);
  EXPECT_EQ(fileMode(secrets), 0700u);
  EXPECT_EQ(fileMode(reopened.itemPath("com.example.e2e", "host-identity")), 0600u);
  EXPECT_EQ(reopened.read("com.example.e2e", "other"), std::nullopt);
  EXPECT_TRUE(reopened.remove("com.example.e2e", "host-identity"));
  EXPECT_EQ(reopened.read("com.example.e2e", "host-identity"), std::nullopt);
}

TEST(SecretStore, NamesNeverEscapeTheDirectory) {
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  auto path = store.itemPath("../../etc", "/passwd");
  EXPECT_EQ(path.parent_path(), dir / "secrets");
  ASSERT_TRUE(store.write("../../etc", "/passwd", Bytes{1}));
  EXPECT_EQ(store.read("../../etc", "/passwd"), Bytes{1});
}

// Tightening a wide directory and refusing a symbolic link are checked where the clipboard makes its folder.
TEST(PrivateFiles, AtomicWriteIs0600EvenUnderAPermissiveUmask) {
  TempDir dir;
  auto old = ::umask(0);
  auto error = writeFileAtomically(dir / "f", toBytes("x"));
  ::umask(old);
  ASSERT_FALSE(error);
  EXPECT_EQ(fileMode(dir / "f"), 0600u);
  EXPECT_EQ(readWholeFile(dir / "f"), toBytes("x"));
}

}  // namespace
}  // namespace tavlo
