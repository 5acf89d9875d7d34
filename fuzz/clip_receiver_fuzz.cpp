// Any sequence of peer announcements and pieces into the receiving side of the clipboard transfer:
// nothing crashes, every name made from the peer's text is one harmless path component, every file
// stays inside the private folder, and reset leaves the folder empty.
//
// Input: a list of operations. 0: announce (id u8, size u32, name stringU8); 1: piece (id u8, total
// u32, offset u32, chunk blobU16); 2: reset. The list ends at the first short field.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "protocol/byte_reader.hpp"
#include "protocol/clipboard/clip_file_name.hpp"
#include "protocol/clipboard/clip_receiver.hpp"

namespace {

namespace fs = std::filesystem;

// Plain storage, so that the clean-up at exit does not depend on the order static objects go away in.
char root[4096];

const fs::path& folder() {
  static const fs::path path = [] {
    std::string pattern = (fs::temp_directory_path() / "tavlo-fuzz-XXXXXX").string();
    if (pattern.size() >= sizeof root || !::mkdtemp(pattern.data())) std::abort();
    pattern.copy(root, pattern.size());
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(root, ec);
    });
    return fs::path(pattern) / "tl-clip";
  }();
  return path;
}

void checkName(const std::string& name) {
  const std::string safe = vela::sanitizeClipFileName(name);
  if (safe.empty() || safe.size() > vela::maxFileNameBytes || safe == "." || safe == "..") std::abort();
  for (unsigned char c : safe)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) std::abort();
  if (vela::ByteReader::repairedUtf8(tavlo::toBytes(safe)) != safe) std::abort();
  if (vela::clipTempFileName(name).size() > vela::maxFileNameBytes) std::abort();
}

bool folderIsEmpty() {
  std::error_code ec;
  return !fs::exists(folder(), ec) || fs::is_empty(folder(), ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto callbacks = std::make_shared<vela::ClipboardCallbackSlot>();
  vela::ClipboardCallbacks set;
  set.onComplete = [](uint64_t, const std::string&, const std::string&, const vela::ClipPayload& payload) {
    if (payload.isFile()) {
      if (payload.path().parent_path() != folder()) std::abort();
      std::error_code ec;
      fs::remove(payload.path(), ec);  // completed files are the owner's to remove
    }
  };
  set.onLog = [](const std::string&) {};
  callbacks->set(std::move(set));

  {
    vela::ClipReceiver receiver{vela::ClipTempFolder(folder()), callbacks};
    vela::ByteReader reader(vela::ByteView(data, size));
    try {
      while (!reader.isAtEnd()) {
        switch (reader.u8() % 3) {
          case 0: {
            uint64_t id = reader.u8();
            uint32_t total = reader.u32();
            std::string name = reader.stringU8();
            checkName(name);
            receiver.handleAnnounce(id, "public.data", total, name);
            break;
          }
          case 1: {
            vela::ClipData piece;
            piece.clipId = reader.u8();
            piece.total = reader.u32();
            piece.offset = reader.u32();
            piece.chunk = reader.blobU16();
            receiver.handleData(piece);
            break;
          }
          default:
            receiver.reset();
            if (!folderIsEmpty()) std::abort();
        }
        if (receiver.incomingCount() > vela::ClipReceiver::maxIncoming) std::abort();
      }
    } catch (const vela::WireError&) {
    }
  }
  // The receiver is gone: no unfinished file may remain.
  if (!folderIsEmpty()) std::abort();
  return 0;
}
