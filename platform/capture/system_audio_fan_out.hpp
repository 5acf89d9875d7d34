#pragma once
// One system audio source shared by every capture stream of a backend. The source serves one consumer
// at a time, so the streams subscribe here instead: the source runs while at least one subscriber is
// left and each block goes to all of them. A stream that stops therefore never silences another.
//
// Thread-safe. Subscribers are called on the source's thread, without the fan-out's lock held; one that
// has just unsubscribed may still see a block that was being delivered, so subscribers keep what they
// use alive themselves (they are shared_ptr handlers).
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio/system_audio_source.hpp"

namespace tavlo {

class SystemAudioFanOut : public std::enable_shared_from_this<SystemAudioFanOut> {
 public:
  using Subscriber = std::shared_ptr<SystemAudioSource::BlockHandler>;

  static std::shared_ptr<SystemAudioFanOut> create(std::shared_ptr<SystemAudioSource> source);

  // Adds a subscriber, starting the source for the first one. nullopt with why the source cannot start
  // (the subscriber is then not added); otherwise the token that unsubscribes it.
  std::optional<uint64_t> subscribe(Subscriber subscriber, std::string* error = nullptr);
  // Removes a subscriber (unknown tokens are ignored), stopping the source after the last one.
  void unsubscribe(uint64_t token);

 private:
  explicit SystemAudioFanOut(std::shared_ptr<SystemAudioSource> source) : source_(std::move(source)) {}
  void deliver(const AudioSampleBuffer& block);

  const std::shared_ptr<SystemAudioSource> source_;
  std::mutex mutex_;  // guards the fields below; never held while the source starts, stops or delivers
  std::condition_variable switched_;  // a start or stop of the source finished
  std::map<uint64_t, Subscriber> subscribers_;
  uint64_t nextToken_ = 1;
  bool sourceRunning_ = false;
  bool switching_ = false;  // a start or stop of the source is under way (others wait for it)
};

}  // namespace tavlo
