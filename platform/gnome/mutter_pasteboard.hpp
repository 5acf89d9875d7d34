#pragma once
// The GNOME desktop's clipboard through mutter's remote-desktop clipboard: a session of its own (with
// a screen-cast session linked to it, as mutter wants, but no monitor), on which mutter reports every
// change of the clipboard's owner and hands over what is on it as a pipe per MIME type; what we put
// on it is served to a pasting application through a pipe mutter gives us per request.
//
// Our writes offer "application/x-tavlo-clip" beside their types: the marker that tells the bridge
// its own writes from the user's copies. A read is bounded in bytes (Pasteboard::maxItemBytes) and
// time; a promised file is fetched when an application first asks for the file list, on the serving
// thread, never on the bus's. Thread-safe.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/gnome/bus_connection.hpp"
#include "platform/gnome/mutter_remote_session.hpp"
#include "platform/pasteboard/pasteboard.hpp"
#include "platform/runtime/serial_executor.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class MutterPasteboard final : public Pasteboard {
 public:
  // How long mutter's pipe may keep one step of a read waiting, and a whole read.
  static constexpr int readStepTimeoutMs = 3000;
  static constexpr int readTotalTimeoutMs = 10'000;
  static constexpr const char* markerType = "application/x-tavlo-clip";

  // Null, with mutter's answer in `error`, when the clipboard cannot be enabled.
  static std::unique_ptr<MutterPasteboard> open(std::shared_ptr<BusConnection> bus, std::string* error = nullptr,
                                                LogSink log = {});
  ~MutterPasteboard() override;
  MutterPasteboard(const MutterPasteboard&) = delete;
  MutterPasteboard& operator=(const MutterPasteboard&) = delete;

  int64_t changeCount() const override;
  bool hasOwnMarker() const override;
  std::vector<std::filesystem::path> files() const override;
  std::optional<std::string> text() const override;
  std::optional<Bytes> png() const override;
  int64_t write(PasteboardContent content) override;

 private:
  struct Offer;
  MutterPasteboard(std::shared_ptr<BusConnection> bus, std::unique_ptr<MutterRemoteSession> session, LogSink log);
  void ownerChanged(const BusValue& options);
  void serve(const std::string& mimeType, uint32_t serial);
  // The clipboard's content of that type, read through mutter's pipe; empty when it is not offered or
  // the read failed or ran past its bounds (with a log line).
  std::optional<Bytes> read(const std::string& mimeType) const;
  std::vector<std::string> offeredTypes() const;

  const std::shared_ptr<BusConnection> bus_;
  const std::unique_ptr<MutterRemoteSession> session_;
  const LogSink log_;
  std::vector<uint64_t> subscriptions_;

  mutable std::mutex mutex_;  // guards the fields below
  int64_t changeCount_ = 0;
  std::vector<std::string> types_;   // what the owner offers
  bool sessionOwns_ = false;         // we put it there
  std::shared_ptr<Offer> ours_;      // what we serve while we own it

  SerialExecutor serving_;  // last: stops before the members its jobs use go
};

}  // namespace tavlo
