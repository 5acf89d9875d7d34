#pragma once
// The host's store of recently sent frames, from which it answers the client's NACKs with exactly the
// chunks named in them. Bounded in bytes and in frames; the oldest frames are forgotten first.
//
// The session retains each frame's chunks right after chunking and before sending them; the NACK path
// looks chunks up, possibly on another thread. Chunks are shared, never copied: what chunksFor returns
// stays valid after the frame is evicted.
#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "protocol/chunker.hpp"

namespace vela {

class RetransmitBuffer {
 public:
  // The limits the host creates each session's store with.
  static constexpr int64_t hostMaxBytes = 4'194'304;
  static constexpr int hostMaxFrames = 45;

  RetransmitBuffer(int64_t maxBytes, int maxFrames);
  RetransmitBuffer(const RetransmitBuffer&) = delete;
  RetransmitBuffer& operator=(const RetransmitBuffer&) = delete;

  // Stores a frame's chunks (in index order, as the chunker made them) as the newest frame, then
  // forgets the oldest frames while a limit is exceeded; a frame larger than the byte limit on its own
  // is forgotten again at once. Frame ids restart at 0 when the encoder is rebuilt, so an id that is
  // still held is replaced: the old entry leaves the store (its bytes and its place) first.
  void retain(uint32_t frameId, uint16_t generation, std::vector<SharedVideoChunk> chunks);

  // The held chunks that the NACK names, in ascending chunk index; empty when the frame is not held or
  // was sent in another generation (a NACK for an older stream is never answered with the current
  // one's chunks). Indices that name no held chunk are skipped.
  std::vector<SharedVideoChunk> chunksFor(const VideoNack& nack) const;

  // Forgets frames from the oldest while their id is at most `upTo` (plain unsigned comparison).
  void retire(uint32_t upTo);

  int frameCount() const;
  // Sum of the payload sizes of every chunk held.
  int64_t totalBytes() const;

 private:
  struct Entry {
    uint16_t generation = 0;
    std::vector<SharedVideoChunk> chunks;
    int64_t bytes = 0;
    // Chunk i sits at position i (the chunker's order): lookups index directly.
    bool indexedByPosition = false;
    std::list<uint32_t>::iterator place;  // in order_
  };

  void removeLocked(std::unordered_map<uint32_t, Entry>::iterator it);

  const int64_t maxBytes_;
  const int maxFrames_;

  mutable std::mutex mutex_;
  std::unordered_map<uint32_t, Entry> byFrame_;
  std::list<uint32_t> order_;  // frame ids, oldest first
  int64_t totalBytes_ = 0;
};

}  // namespace vela
