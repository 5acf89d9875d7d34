#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "e2e/e2e_identity.hpp"
#include "platform/runtime/private_files.hpp"
#include "tests/e2e/e2e_test_support.hpp"

namespace vela {
namespace {

using e2etest::HostStores;
using e2etest::machineA;
using e2etest::machineB;
using tavlo::Uuid;
using tavlo::testkit::fileMode;
using tavlo::testkit::TempDir;

Bytes storedForm(const Uuid& id, ByteView seed) {
  Bytes blob(id.bytes.begin(), id.bytes.end());
  blob.insert(blob.end(), seed.begin(), seed.end());
  return blob;
}

Bytes seedOf(const E2EIdentity& identity) {
  ByteView seed = identity.signingKey().seed().view();
  return Bytes(seed.begin(), seed.end());
}

TEST(E2EIdentity, TwoOpensOfTheSameStoresGiveTheSameIdAndKey) {
  HostStores host;
  auto first = host.open();
  auto second = host.open();
  EXPECT_EQ(second->hostID(), first->hostID());
  EXPECT_EQ(second->signingPublicKey(), first->signingPublicKey());
  EXPECT_EQ(first->hostID(), E2EIdentity::derivedHostID(machineA));
  EXPECT_FALSE(second->previousHostID());
  Bytes expected = storedForm(first->hostID(), seedOf(*first));
  EXPECT_EQ(host.secret(), expected);
  EXPECT_EQ(host.mirror(), expected);
}

// A careless umask and an open folder left from before must not widen the key's files.
TEST(E2EIdentity, TheKeyFilesArePrivateFromTheMomentTheyExist) {
  HostStores host;
  std::filesystem::create_directories(host.mirrorPath().parent_path());
  ::chmod(host.mirrorPath().parent_path().c_str(), 0755);
  mode_t old = ::umask(0);
  host.open();
  ::umask(old);
  EXPECT_EQ(fileMode(host.mirrorPath()), 0600u);
  EXPECT_EQ(fileMode(host.mirrorPath().parent_path()), 0700u) << "tightened before the key is written";
  EXPECT_EQ(fileMode(host.secrets.itemPath(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount))),
            0600u);
  EXPECT_EQ(fileMode(host.secrets.directory()), 0700u);
}

TEST(E2EIdentity, DerivedIdsAreStableVersionFiveVariantTen) {
  for (const char* machine : {machineA, machineB, "x"}) {
    auto id = E2EIdentity::derivedHostID(machine);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->version(), 5) << machine;
    EXPECT_EQ(id->variantBits(), 0b10) << machine;
    EXPECT_EQ(E2EIdentity::derivedHostID(machine), id) << "same machine, same id";
  }
  EXPECT_NE(E2EIdentity::derivedHostID(machineA), E2EIdentity::derivedHostID(machineB));
  EXPECT_FALSE(E2EIdentity::derivedHostID(""));
}

TEST(E2EIdentity, TwoFreshStartsOnOneMachineShareTheIdButNotTheKey) {
  HostStores a, b;
  auto first = a.open(), second = b.open();
  EXPECT_EQ(first->hostID(), second->hostID());
  EXPECT_NE(first->signingPublicKey(), second->signingPublicKey());
}

TEST(E2EIdentity, AChangedMachineIdKeepsTheKeyAndRemembersThePreviousId) {
  HostStores host;
  auto before = host.open();
  host.platform = machineB;
  auto after = host.open();
  EXPECT_EQ(after->hostID(), E2EIdentity::derivedHostID(machineB));
  EXPECT_EQ(after->previousHostID(), before->hostID());
  EXPECT_EQ(after->signingPublicKey(), before->signingPublicKey());
  EXPECT_EQ(host.settings.getString("tl.prevHostID"), before->hostID().uuidString());
  EXPECT_EQ(host.secret(), storedForm(after->hostID(), seedOf(*before)));
  EXPECT_EQ(host.mirror(), host.secret());

  auto again = host.open();
  EXPECT_EQ(again->hostID(), after->hostID());
  EXPECT_EQ(again->previousHostID(), before->hostID()) << "read back from tl.prevHostID";
}

TEST(E2EIdentity, ThePreviousIdComesFromTheUserDefaultOnlyWhenItParses) {
  struct Row { std::optional<std::string> stored; std::optional<Uuid> expected; const char* why; } rows[] = {
      {"0123ABCD-4567-89EF-0123-456789ABCDEF", Uuid::parse("0123ABCD-4567-89EF-0123-456789ABCDEF"), "canonical text"},
      {"0123abcd-4567-89ef-0123-456789abcdef", Uuid::parse("0123ABCD-4567-89EF-0123-456789ABCDEF"), "lower case"},
      {"not a uuid", std::nullopt, "garbage"},
      {std::nullopt, std::nullopt, "no default"},
  };
  for (const auto& row : rows) {
    HostStores host;
    host.open();
    if (row.stored) host.settings.set("tl.prevHostID", *row.stored);
    EXPECT_EQ(host.open()->previousHostID(), row.expected) << row.why;
  }
}

// A damaged or missing copy in the secret store must not cost the host its key: the mirror still holds it.
TEST(E2EIdentity, AnUnusableSecretFallsBackToTheMirrorBeforeANewKeyIsMade) {
  const std::optional<Bytes> damaged[] = {std::nullopt, Bytes{}, Bytes(47, 0x5A), Bytes(49, 0x5A)};
  for (const auto& secret : damaged) {
    SCOPED_TRACE(secret ? std::to_string(secret->size()) + "-byte secret" : "no secret");
    HostStores host;
    auto original = host.open();
    host.setSecret(secret);
    auto reopened = host.open();
    EXPECT_EQ(reopened->signingPublicKey(), original->signingPublicKey());
    EXPECT_EQ(reopened->hostID(), original->hostID());
    EXPECT_EQ(host.secret(), storedForm(original->hostID(), seedOf(*original))) << "the secret is repaired";
  }
}

TEST(E2EIdentity, ANewIdentityIsMadeOnlyWhenBothCopiesAreUnusable) {
  HostStores host;
  auto original = host.open();
  host.setSecret(Bytes(47, 1));
  ASSERT_FALSE(tavlo::writeFileAtomically(host.mirrorPath(), Bytes(49, 2)));
  auto fresh = host.open();
  EXPECT_NE(fresh->signingPublicKey(), original->signingPublicKey());
  EXPECT_EQ(fresh->hostID(), original->hostID()) << "the id is derived from the machine";
  EXPECT_EQ(host.secret(), storedForm(fresh->hostID(), seedOf(*fresh))) << "written over the damaged copies";
  EXPECT_EQ(host.mirror(), host.secret());
}

TEST(E2EIdentity, WithoutAMachineIdARandomIdIsPersistedAndKept) {
  HostStores host;
  host.platform = std::nullopt;
  auto first = host.open();
  EXPECT_EQ(first->hostID().version(), 4);
  auto second = host.open();
  EXPECT_EQ(second->hostID(), first->hostID());
  EXPECT_EQ(second->signingPublicKey(), first->signingPublicKey());
  EXPECT_FALSE(second->previousHostID());
}

TEST(E2EIdentity, ReadsTheMachineIdWithoutItsLineBreak) {
  TempDir dir;
  struct Row { std::optional<std::string> content; std::optional<std::string> expected; const char* why; } rows[] = {
      {std::string(machineA) + "\n", machineA, "the usual file"},
      {std::string("  ") + machineA + " \r\nrest", machineA, "white space and a second line"},
      {"\n", std::nullopt, "empty line"},
      {"", std::nullopt, "empty file"},
      {std::nullopt, std::nullopt, "no file"},
  };
  int n = 0;
  for (const auto& row : rows) {
    auto path = dir / ("machine-id-" + std::to_string(n++));
    if (row.content) {
      ASSERT_FALSE(tavlo::writeFileAtomically(path, tavlo::toBytes(*row.content)));
    }
    EXPECT_EQ(E2EIdentity::readMachineId(path), row.expected) << row.why;
  }
}

// The mirror holds the private key: it belongs in the user's own data folder, never in a folder that
// every user can write to, even when HOME is not set.
TEST(E2EIdentity, TheDefaultMirrorIsInThePrivateDataFolderNotTheTemporaryOne) {
  std::optional<std::string> home, xdg;
  if (const char* h = std::getenv("HOME")) home = h;
  if (const char* x = std::getenv("XDG_DATA_HOME")) xdg = x;
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  auto path = E2EIdentity::defaultMirrorPath();
  if (home) ::setenv("HOME", home->c_str(), 1);
  if (xdg) ::setenv("XDG_DATA_HOME", xdg->c_str(), 1);

  EXPECT_EQ(path.filename(), "e2e-identity.bin");
  auto temp = std::filesystem::temp_directory_path().string();
  EXPECT_NE(path.string().rfind(temp, 0), 0u) << path << " lies in " << temp;
  EXPECT_EQ(path.parent_path(), tavlo::dataDirectory());
}

}  // namespace
}  // namespace vela
