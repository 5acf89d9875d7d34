#pragma once
// A value that observers follow: the controller's state that the user interface shows. Every write
// notifies every observer, also when the value did not change; observers that only want changes
// compare for themselves. Bound to one thread (the controller's main executor): read, written and
// observed there only, so it needs no lock.
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace tavlo {

template <class T>
class Published {
 public:
  using Observer = std::function<void(const T&)>;
  using ObserverId = uint64_t;

  explicit Published(T initial = T{}) : value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  const T& get() const { return value_; }
  void set(T value) {
    value_ = std::move(value);
    // A copy: an observer may add or remove observers while being notified.
    std::vector<Observer> current;
    current.reserve(observers_.size());
    for (const auto& [id, observer] : observers_) current.push_back(observer);
    for (const auto& observer : current) observer(value_);
  }

  ObserverId observe(Observer observer) {
    ObserverId id = nextId_++;
    observers_.emplace(id, std::move(observer));
    return id;
  }
  void unobserve(ObserverId id) { observers_.erase(id); }

 private:
  T value_;
  std::map<ObserverId, Observer> observers_;
  ObserverId nextId_ = 1;
};

}  // namespace tavlo
