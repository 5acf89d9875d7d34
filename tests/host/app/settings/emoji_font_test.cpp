// The host's log lines, the Log pane and the diagnostics panel carry emoji: the packages the README
// installs (scripts/packages.txt) include a font that has every one the sources use, and with it the Log
// pane draws them as pictures, not as empty boxes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <QFontDatabase>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "tests/host/app/settings/settings_test_kit.hpp"

namespace tavlo {
namespace {

namespace fs = std::filesystem;

// The code points of the pictographic ranges used in the program's own sources.
std::set<char32_t> emojiInSources() {
  std::set<char32_t> found;
  for (const char* folder : {"host", "hostcore", "media", "transport", "protocol", "e2e", "platform"}) {
    const fs::path root = fs::path(TAVLO_SOURCE_DIR) / folder;
    if (!fs::exists(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".hpp") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (char32_t c : QString::fromStdString(text).toStdU32String()) {
        if ((c >= 0x1F300 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF)) found.insert(c);
      }
    }
  }
  return found;
}

// The font files of the font packages that scripts/packages.txt names (from dpkg's lists of their files).
std::vector<std::string> packagedFontFiles(std::string& notInstalled) {
  std::ifstream list(fs::path(TAVLO_SOURCE_DIR) / "scripts" / "packages.txt");
  std::vector<std::string> files;
  for (std::string name; std::getline(list, name);) {
    if (!name.starts_with("fonts-")) continue;
    std::ifstream owned("/var/lib/dpkg/info/" + name + ".list");
    if (!owned) notInstalled += name + " ";
    for (std::string file; std::getline(owned, file);) {
      if (file.ends_with(".ttf") || file.ends_with(".otf") || file.ends_with(".ttc")) files.push_back(file);
    }
  }
  return files;
}

TEST(EmojiFont, ThePackagesHaveAFontWithEveryEmojiTheHostWritesAndTheLogPaneDrawsThem) {
  settingstest::SettingsRig s;
  const std::set<char32_t> used = emojiInSources();
  ASSERT_TRUE(used.contains(U'🛡')) << "the panel's \"FEC 🛡️\" row";
  ASSERT_TRUE(used.contains(U'🔄'));

  std::string notInstalled;
  const std::vector<std::string> files = packagedFontFiles(notInstalled);
  ASSERT_TRUE(notInstalled.empty()) << "run scripts/setup: not installed: " << notInstalled;
  QStringList families;
  for (const std::string& file : files) {
    const int id = QFontDatabase::addApplicationFont(QString::fromStdString(file));
    if (id >= 0) families += QFontDatabase::applicationFontFamilies(id);
  }
  ASSERT_FALSE(families.isEmpty()) << "scripts/packages.txt names no font package";
  std::string missing;
  for (char32_t c : used) {
    bool covered = false;
    for (const QString& family : families) covered = covered || QFontMetrics(QFont(family)).inFontUcs4(c);
    if (!covered) missing += QString::fromUcs4(&c, 1).toStdString() + " ";
  }
  EXPECT_TRUE(missing.empty()) << "no packaged font has " << missing;

  // Drawn in the Log pane's own font, an emoji comes out in colour (a missing glyph is a box in the
  // text's grey).
  const QFont logFont = s.window->diagnosticsPane()->log->font();
  QImage image(160, 80, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter p(&image);
  QFont big = logFont;
  big.setPixelSize(48);
  p.setFont(big);
  p.setPen(Qt::black);
  p.drawText(image.rect(), Qt::AlignCenter, QStringLiteral("🔄🛡"));
  p.end();
  int coloured = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (std::max({c.red(), c.green(), c.blue()}) - std::min({c.red(), c.green(), c.blue()}) > 60) ++coloured;
    }
  }
  EXPECT_GT(coloured, 200) << "the Log pane's font falls back to the colour emoji font";
}

}  // namespace
}  // namespace tavlo
