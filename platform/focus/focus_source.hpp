#pragma once
// What the text focus watcher asks of the desktop's accessibility layer: whether it may be used at
// all, which application is frontmost, which element holds the keyboard focus, what kind of element
// that is and where it lies, and notices when any of this changes. The watcher's own logic (debounce,
// dedupe, frame filter, retries) sits above this interface and does not depend on the backend.
//
// Backends: AtspiFocusSource (AT-SPI2, where an accessibility bus runs) and FakeFocusSource (tests).
//
// Threads: every method may be called from any thread; each blocks for at most the messaging timeout
// per read of a hung application. Callbacks (workspace events, observer notices) arrive on a thread of
// the backend's choosing and must only hand the work on (post it), never block. Once the subscription
// or observer that carries a callback is destroyed, the callback is not called again.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/runtime/screen_geometry.hpp"

namespace tavlo {

// The kinds of element the watcher counts as text inputs; everything else is `other`.
enum class FocusRole : uint8_t {
  other = 0,
  textField = 1,    // a one-line text input
  textArea = 2,     // a multi-line text input
  comboBox = 3,     // an editable combo box
  searchField = 4,  // a search input
};

// What the watcher reads of one element. A read that fails counts as absent (`other`, false).
struct FocusElementKind {
  FocusRole role = FocusRole::other;
  bool secure = false;                     // a password field
  bool valueSettable = false;              // its value can be edited
  bool selectedTextRangeReadable = false;  // it exposes a text selection

  friend bool operator==(const FocusElementKind&, const FocusElementKind&) = default;
};

// One accessible element, held for as long as the handle lives.
class FocusElement {
 public:
  virtual ~FocusElement() = default;
  virtual FocusElementKind kind() = 0;
  // Position and size in the global point space (top-left origin of the main display, points); empty
  // when either cannot be read.
  virtual std::optional<ScreenRect> frame() = 0;
  // True when both handles stand for the same element of the same application.
  virtual bool sameElement(const FocusElement& other) const = 0;
};

// Notices an observer can register for on its application (the first two) or on one element (the last).
enum class FocusNotification : uint8_t {
  focusedElementChanged = 0,
  focusedWindowChanged = 1,
  elementDestroyed = 2,
};

enum class FocusRegistration : uint8_t {
  success = 0,
  cannotComplete = 1,  // the application is not ready for it yet: trying again a little later may work
  failure = 2,
};

// Watches one application; stops delivering its notices when destroyed.
class FocusObserver {
 public:
  using Callback = std::function<void(FocusNotification)>;

  virtual ~FocusObserver() = default;
  // Registers a notice on the observed application (focusedElementChanged, focusedWindowChanged).
  virtual FocusRegistration addNotification(FocusNotification notification) = 0;
  // Registers elementDestroyed for `element`.
  virtual FocusRegistration watchDestruction(const std::shared_ptr<FocusElement>& element) = 0;
};

// An application came to the front, or quit.
struct WorkspaceEvent {
  enum class Kind : uint8_t { activated = 0, terminated = 1 };
  Kind kind = Kind::activated;
  int32_t pid = 0;

  friend bool operator==(const WorkspaceEvent&, const WorkspaceEvent&) = default;
};

// Keeps a workspace callback registered while it lives.
class FocusSubscription {
 public:
  virtual ~FocusSubscription() = default;
};

class FocusSource {
 public:
  using WorkspaceCallback = std::function<void(const WorkspaceEvent&)>;

  virtual ~FocusSource() = default;

  // True when the accessibility layer can be used now (a later call may say otherwise).
  virtual bool isTrusted() = 0;
  // Bounds each read of an application that does not answer.
  virtual void setMessagingTimeout(uint64_t timeoutUs) = 0;
  virtual std::unique_ptr<FocusSubscription> observeWorkspace(WorkspaceCallback callback) = 0;
  virtual std::optional<int32_t> frontmostApplication() = 0;
  // Empty when the observer cannot be made; the application is then not observed.
  virtual std::unique_ptr<FocusObserver> createObserver(int32_t pid, FocusObserver::Callback callback) = 0;
  // The element that holds the keyboard focus across the desktop; empty when it cannot be read.
  virtual std::shared_ptr<FocusElement> focusedElement() = 0;
  // The focused element inside one application; empty when it cannot be read.
  virtual std::shared_ptr<FocusElement> focusedElementOf(int32_t pid) = 0;
};

}  // namespace tavlo
