#pragma once
// The host desktop's clipboard as the pasteboard bridge sees it: a change counter, what is on it (files,
// text, a PNG image) and whole-content writes that carry our own marker, so the bridge can tell its own
// writes from the user's copies.
//
// The X11 backend owns the CLIPBOARD selection on its own thread; the fake keeps the content in memory.
// Every operation may be called from any thread: an implementation guards itself.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

// A file that exists only once somebody asks for it: `fulfil` fetches it (it may block for minutes, so
// it never runs on the thread serving selection requests) and gives its path, or nothing on failure.
struct PasteboardFilePromise {
  std::string name;
  std::function<std::optional<std::filesystem::path>()> fulfil;
};

// One write: everything that replaces what the clipboard held. An empty content only marks the
// clipboard as ours (it offers nothing else).
struct PasteboardContent {
  std::optional<std::string> text;                   // UTF-8
  std::optional<Bytes> png;                          // image/png
  std::optional<std::pair<std::string, Bytes>> data; // any other MIME type and its bytes
  std::vector<std::filesystem::path> files;          // offered as text/uri-list
  std::shared_ptr<PasteboardFilePromise> promise;    // a text/uri-list made when first asked for
};

class Pasteboard {
 public:
  // The largest text, image or file list read from another program. What is read goes to the client
  // as an unnamed item, and no peer fetches an unnamed item above the bridge's fetch cap: a larger
  // read would only be thrown away after it had been held whole.
  static constexpr size_t maxItemBytes = 16'777'216;

  virtual ~Pasteboard() = default;

  // Grows by at least one with every change of the content, ours or another program's.
  virtual int64_t changeCount() const = 0;
  // The content carries our marker: the bridge wrote it.
  virtual bool hasOwnMarker() const = 0;
  // Local files offered (text/uri-list with file: URLs), in order.
  virtual std::vector<std::filesystem::path> files() const = 0;
  virtual std::optional<std::string> text() const = 0;
  virtual std::optional<Bytes> png() const = 0;

  // Replaces the content with `content` and our marker; returns the change count after the write.
  virtual int64_t write(PasteboardContent content) = 0;
};

// The MIME type a pasteboard type identifier from a client is written under; unknown identifiers are
// plain data.
std::string pasteboardMimeFor(const std::string& uti);
// A type identifier we know is kept; any other becomes "public.data".
std::string clipValidUTI(const std::string& uti);

}  // namespace tavlo
