#pragma once
// RAII owners for what libatspi hands out: GObject references and GErrors. Both are released on the
// thread that runs libatspi (see AtspiDesktop); nothing else may hold them.
#include <atspi/atspi.h>

#include <utility>

namespace tavlo {

// One reference of a GObject (AtspiAccessible, AtspiStateSet, AtspiComponent, ...).
template <typename T>
class GRef {
 public:
  GRef() = default;
  // Takes over a reference the caller owns (what libatspi's getters return).
  static GRef adopt(T* object) { return GRef(object); }
  // Adds a reference of its own (for objects lent to a callback).
  static GRef retain(T* object) { return GRef(object ? static_cast<T*>(g_object_ref(object)) : nullptr); }

  GRef(GRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GRef& operator=(GRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  ~GRef() { reset(); }

  T* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  T* release() { return std::exchange(object_, nullptr); }
  void reset() {
    if (object_) g_object_unref(object_);
    object_ = nullptr;
  }

 private:
  explicit GRef(T* object) : object_(object) {}
  T* object_ = nullptr;
};

// The error slot of one libatspi call.
class GErrorSlot {
 public:
  GErrorSlot() = default;
  GErrorSlot(const GErrorSlot&) = delete;
  GErrorSlot& operator=(const GErrorSlot&) = delete;
  ~GErrorSlot() {
    if (error_) g_error_free(error_);
  }
  GError** out() { return &error_; }
  bool failed() const { return error_ != nullptr; }

 private:
  GError* error_ = nullptr;
};

}  // namespace tavlo
