#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
  EXPECT_TRUE(second->isPersistent());
  EXPECT_TRUE(host.log.lines().empty()) << host.log.lines().front();
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
  EXPECT_EQ(fileMode(*host.secrets.directory()), 0700u);
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

TEST(E2EIdentity, EachAccountOfAMachineHasItsOwnIdStableAcrossRestarts) {
  HostStores first, second, root;
  second.account = E2EIdentity::firstAccountUid + 1;
  root.account = 0;
  const Uuid a = first.open()->hostID(), b = second.open()->hostID(), c = root.open()->hostID();
  EXPECT_EQ(a, E2EIdentity::derivedHostID(machineA)) << "the first account keeps the id earlier builds gave it";
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, c);
  EXPECT_EQ(second.open()->hostID(), b);
  EXPECT_EQ(E2EIdentity::derivedHostID(machineA, second.account), b) << "derived, so it survives the loss of its copies";

  // An account that earlier builds gave the machine's id takes its own, keeps its key and remembers the
  // old id for the trust publication.
  HostStores earlier;
  earlier.account = 1001;
  auto signing = tavlo::crypto::Ed25519PrivateKey::generate();
  ASSERT_TRUE(signing);
  earlier.setSecret(storedForm(*E2EIdentity::derivedHostID(machineA), signing->seed().view()));
  auto moved = earlier.open();
  EXPECT_EQ(moved->hostID(), E2EIdentity::derivedHostID(machineA, 1001));
  EXPECT_EQ(moved->previousHostID(), E2EIdentity::derivedHostID(machineA));
  EXPECT_EQ(moved->signingPublicKey(), signing->publicKey());
}

// A user revoking a leaked key deletes the one private folder; no copy elsewhere brings the key back.
TEST(E2EIdentity, DeletingThePrivateFolderResetsTheKeyAndNoCopyLiesOutsideIt) {
  HostStores host;
  auto leaked = host.open();
  const Bytes seed = seedOf(*leaked);
  namespace fs = std::filesystem;
  for (const auto& entry : fs::recursive_directory_iterator(host.home.path())) {
    if (!entry.is_regular_file()) continue;
    const Bytes bytes = tavlo::readWholeFile(entry.path()).value_or(Bytes{});
    const bool holdsKey = std::search(bytes.begin(), bytes.end(), seed.begin(), seed.end()) != bytes.end();
    EXPECT_TRUE(!holdsKey || entry.path().parent_path() == *host.secrets.directory()) << entry.path();
  }
  fs::remove_all(*host.secrets.directory());
  EXPECT_NE(host.open()->signingPublicKey(), leaked->signingPublicKey());

  // The copy earlier builds kept in the data folder is removed, never read.
  HostStores upgraded;
  auto old = upgraded.open();
  fs::create_directories(upgraded.formerMirrorPath().parent_path());
  ASSERT_FALSE(tavlo::writeFileAtomically(upgraded.formerMirrorPath(), storedForm(old->hostID(), seedOf(*old))));
  fs::remove_all(*upgraded.secrets.directory());
  EXPECT_NE(upgraded.open()->signingPublicKey(), old->signingPublicKey());
  EXPECT_FALSE(fs::exists(upgraded.formerMirrorPath()));
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
TEST(E2EIdentity, TheDefaultMirrorIsInThePrivateSecretsFolderNotTheTemporaryOne) {
  std::optional<std::string> home, xdg;
  if (const char* h = std::getenv("HOME")) home = h;
  if (const char* x = std::getenv("XDG_DATA_HOME")) xdg = x;
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  auto path = E2EIdentity::defaultMirrorPath();
  auto secrets = tavlo::FileSecretStore::defaultDirectory();
  if (home) ::setenv("HOME", home->c_str(), 1);
  if (xdg) ::setenv("XDG_DATA_HOME", xdg->c_str(), 1);

  ASSERT_TRUE(path) << "the account's entry gives a home";
  EXPECT_EQ(path->filename(), "e2e-identity.bin");
  auto temp = std::filesystem::temp_directory_path().string();
  EXPECT_NE(path->string().rfind(temp, 0), 0u) << *path << " lies in " << temp;
  EXPECT_EQ(path->parent_path(), secrets) << "beside the secret store's copy, in the one folder the README names";
}

// A user's own key is never taken from where someone else could have put it (the attacker then knows
// the key the host signs with) or could have read it. Planting a file of another user needs root.
TEST(E2EIdentity, ACopyPlantedByAnotherUserOrOpenToOthersIsNotUsed) {
  ASSERT_EQ(::geteuid(), 0u) << "planting files of another user needs root (CI runs the tests as root)";
  constexpr uid_t stranger = 54'321;
  namespace fs = std::filesystem;
  struct Row {
    const char* why;
    std::function<void(HostStores&)> plant;  // after a valid identity was stored in the mirror only
    const char* refusal;                     // in the log line
  } rows[] = {
      {"the mirror's folder belongs to another user",
       [](HostStores& h) { ASSERT_EQ(::chown(h.mirrorPath().parent_path().c_str(), stranger, stranger), 0); },
       "owned by uid 54321"},
      {"the mirror belongs to another user",
       [](HostStores& h) { ASSERT_EQ(::chown(h.mirrorPath().c_str(), stranger, stranger), 0); }, "owned by uid 54321"},
      {"the mirror is readable by others",
       [](HostStores& h) { ASSERT_EQ(::chmod(h.mirrorPath().c_str(), 0644), 0); }, "open to group or others (mode 644)"},
      {"the mirror's folder is writable by the group",
       [](HostStores& h) { ASSERT_EQ(::chmod(h.mirrorPath().parent_path().c_str(), 0770), 0); },
       "open to group or others (mode 770)"},
      {"the mirror is a link to a private file",
       [](HostStores& h) {
         fs::rename(h.mirrorPath(), h.home / "elsewhere.bin");
         fs::create_symlink(h.home / "elsewhere.bin", h.mirrorPath());
       },
       "e2e-identity.bin"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    HostStores host;
    auto planted = host.open();
    host.setSecret(std::nullopt);
    row.plant(host);
    size_t before = host.log.lines().size();
    auto opened = host.open();
    EXPECT_NE(opened->signingPublicKey(), planted->signingPublicKey()) << "the planted key is not taken";
    auto lines = host.log.lines();
    auto skipped = std::find_if(lines.begin() + before, lines.end(),
                                [](const std::string& line) { return line.find("pomijam kopię") != std::string::npos; });
    ASSERT_NE(skipped, lines.end());
    EXPECT_NE(skipped->find(row.refusal), std::string::npos) << *skipped;
  }

  // The secret store reads its items the same way.
  HostStores host;
  auto planted = host.open();
  ASSERT_EQ(::chown(host.secrets.directory()->c_str(), stranger, stranger), 0);
  EXPECT_EQ(host.secret(), std::nullopt);
  EXPECT_NE(host.log.lines().back().find("secret store: not using owned by uid 54321"), std::string::npos)
      << host.log.lines().back();
}

// A copy that cannot be written is said so, with the reason; the process keeps one key whatever the
// stores do, and says that it will not survive a restart.
TEST(E2EIdentity, AnUnwritableStoreIsLoggedAndTheKeyStaysForTheProcess) {
  tavlo::testkit::TempDir home;
  ASSERT_FALSE(tavlo::writeFileAtomically(home / "file", Bytes{1}));  // a folder cannot be made below a file
  e2etest::LogLines log;
  tavlo::FileSecretStore secrets(home / "file/secrets", log.sink());
  tavlo::Settings settings;
  E2EIdentity::Stores stores{secrets, settings, home / "file/e2e-identity.bin", [] { return std::optional<std::string>(machineA); },
                             log.sink()};
  auto first = E2EIdentity::shared(stores);
  auto again = E2EIdentity::shared(stores);
  EXPECT_EQ(again->signingPublicKey(), first->signingPublicKey());
  EXPECT_FALSE(first->isPersistent());
  // Reading found folders that are not folders (logged too); then the two writes failed, once each.
  auto lines = log.lines();
  ASSERT_GE(lines.size(), 3u);
  lines.erase(lines.begin(), lines.end() - 3);
  EXPECT_TRUE(lines[0].starts_with("🔐 tożsamość: zapis w magazynie sekretów nieudany (")) << lines[0];
  EXPECT_NE(lines[0].find("Not a directory"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[1].starts_with("🔐 tożsamość: zapis kopii ")) << lines[1];
  EXPECT_NE(lines[1].find("not a directory"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], E2EIdentity::notPersistentLine);
}

// With no HOME, no XDG folders and no account entry there is no private place: the identity is made for
// this run only, and nothing is read from or written to a shared folder. The check runs as a user
// without an account entry, in a child process started with setpriv.
TEST(E2EIdentity, WithoutAPrivatePlaceTheIdentityLivesInMemoryForThisRunOnly) {
  constexpr const char* childVariable = "TAVLO_TEST_NO_HOME_CHILD";
  if (std::getenv(childVariable)) {
    EXPECT_FALSE(tavlo::dataDirectory());
    EXPECT_FALSE(tavlo::configDirectory());
    EXPECT_FALSE(E2EIdentity::defaultMirrorPath());
    e2etest::LogLines log;
    tavlo::FileSecretStore secrets(tavlo::FileSecretStore::defaultDirectory(), log.sink());
    tavlo::Settings settings(tavlo::Settings::defaultPath());
    E2EIdentity::Stores stores{secrets, settings};
    stores.log = log.sink();
    auto identity = E2EIdentity::load(stores);
    EXPECT_FALSE(identity->isPersistent());
    EXPECT_EQ(log.lines().back(), E2EIdentity::notPersistentLine);
    EXPECT_FALSE(std::filesystem::exists("/tmp/.local/share/tavlo/e2e-identity.bin"));
    return;
  }
  ASSERT_EQ(::geteuid(), 0u) << "setpriv needs root (CI runs the tests as root)";
  ASSERT_EQ(::getpwuid(54'321), nullptr) << "uid 54321 must have no account entry";
  std::string command = std::string("setpriv --reuid=54321 --regid=54321 --clear-groups env -i ") + childVariable +
                        "=1 " + std::filesystem::read_symlink("/proc/self/exe").string() +
                        " --gtest_filter=E2EIdentity.WithoutAPrivatePlaceTheIdentityLivesInMemoryForThisRunOnly 2>&1";
  FILE* child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, child)) output.append(buffer, n);
  int status = ::pclose(child);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

}  // namespace
}  // namespace vela
