#include "platform/capture/system_audio_fan_out.hpp"

#include <vector>

namespace tavlo {

std::shared_ptr<SystemAudioFanOut> SystemAudioFanOut::create(std::shared_ptr<SystemAudioSource> source) {
  if (!source) return nullptr;
  return std::shared_ptr<SystemAudioFanOut>(new SystemAudioFanOut(std::move(source)));
}

std::optional<uint64_t> SystemAudioFanOut::subscribe(Subscriber subscriber, std::string* error) {
  std::unique_lock lock(mutex_);
  switched_.wait(lock, [&] { return !switching_; });
  const uint64_t token = nextToken_++;
  subscribers_.emplace(token, std::move(subscriber));
  if (sourceRunning_) return token;
  switching_ = true;
  lock.unlock();
  std::weak_ptr<SystemAudioFanOut> weak = weak_from_this();
  auto failure = source_->start([weak](const AudioSampleBuffer& block) {
    if (auto self = weak.lock()) self->deliver(block);
  });
  lock.lock();
  switching_ = false;
  sourceRunning_ = !failure;
  if (failure) subscribers_.erase(token);
  switched_.notify_all();
  if (!failure) return token;
  if (error) *error = *failure;
  return std::nullopt;
}

void SystemAudioFanOut::unsubscribe(uint64_t token) {
  std::unique_lock lock(mutex_);
  switched_.wait(lock, [&] { return !switching_; });
  if (subscribers_.erase(token) == 0 || !subscribers_.empty() || !sourceRunning_) return;
  switching_ = true;
  lock.unlock();
  source_->stop();
  lock.lock();
  switching_ = false;
  sourceRunning_ = false;
  switched_.notify_all();
}

void SystemAudioFanOut::deliver(const AudioSampleBuffer& block) {
  std::vector<Subscriber> targets;
  {
    std::lock_guard lock(mutex_);
    targets.reserve(subscribers_.size());
    for (const auto& [token, subscriber] : subscribers_) targets.push_back(subscriber);
  }
  for (const auto& subscriber : targets) (*subscriber)(block);
}

}  // namespace tavlo
