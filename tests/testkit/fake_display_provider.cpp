#include "tests/testkit/fake_display_provider.hpp"

#include <utility>

namespace vela::testkit {

namespace {
std::string size(int64_t w, int64_t h) { return std::to_string(w) + "×" + std::to_string(h); }
}  // namespace

void FakeDisplayProvider::record(std::string call) { calls_.push_back(std::move(call)); }

void FakeDisplayProvider::beforeCall(const std::string& call) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard guard(mutex_);
    hook = beforeCall_;
  }
  if (hook) hook(call);
}

void FakeDisplayProvider::setBeforeCall(std::function<void(const std::string& call)> hook) {
  std::lock_guard guard(mutex_);
  beforeCall_ = std::move(hook);
}

bool FakeDisplayProvider::isActive() const {
  std::lock_guard guard(mutex_);
  return displayID_ != 0;
}

int64_t FakeDisplayProvider::reModeCount() const {
  std::lock_guard guard(mutex_);
  return reModeCount_;
}

std::string FakeDisplayProvider::displayLabel() const {
  std::lock_guard guard(mutex_);
  return label_;
}

void FakeDisplayProvider::setDisplayLabel(std::string label) {
  std::lock_guard guard(mutex_);
  label_ = std::move(label);
}

std::optional<ProvidedDisplay> FakeDisplayProvider::createDisplay(int64_t pixelWidth, int64_t pixelHeight) {
  beforeCall("createDisplay");
  std::lock_guard guard(mutex_);
  record("createDisplay " + size(pixelWidth, pixelHeight));
  if (displayID_ == 0) {
    if (knobs_.failCreate) return std::nullopt;
    displayID_ = nextID_++;
    modeW_ = pixelWidth;
    modeH_ = pixelHeight;
    reModeCount_ = 1;
  }
  return ProvidedDisplay{displayID_, pixelWidth, pixelHeight};
}

bool FakeDisplayProvider::applyMode(int64_t pixelWidth, int64_t pixelHeight, int64_t, int64_t) {
  beforeCall("applyMode");
  std::lock_guard guard(mutex_);
  record("applyMode " + size(pixelWidth, pixelHeight));
  if (displayID_ == 0 || knobs_.failApplyMode) return false;
  if (modeW_ != pixelWidth || modeH_ != pixelHeight) {
    modeW_ = pixelWidth;
    modeH_ = pixelHeight;
    ++reModeCount_;
  }
  return true;
}

bool FakeDisplayProvider::modeRequiresRecreate(int64_t pixelWidth, int64_t pixelHeight, int64_t, int64_t) {
  beforeCall("modeRequiresRecreate");
  std::lock_guard guard(mutex_);
  record("modeRequiresRecreate " + size(pixelWidth, pixelHeight));
  return displayID_ != 0 && knobs_.requireRecreate;
}

std::optional<ProvidedDisplay> FakeDisplayProvider::recreateForMode(int64_t pixelWidth, int64_t pixelHeight, int64_t,
                                                                    int64_t) {
  beforeCall("recreateForMode");
  std::lock_guard guard(mutex_);
  record("recreateForMode " + size(pixelWidth, pixelHeight));
  main_ = false;
  displayID_ = 0;
  reModeCount_ = 0;
  if (knobs_.failRecreate) return std::nullopt;
  displayID_ = nextID_++;
  modeW_ = pixelWidth;
  modeH_ = pixelHeight;
  reModeCount_ = 1;
  return ProvidedDisplay{displayID_, pixelWidth, pixelHeight};
}

bool FakeDisplayProvider::setAsMainDisplay() {
  beforeCall("setAsMainDisplay");
  std::lock_guard guard(mutex_);
  record("setAsMainDisplay");
  if (displayID_ == 0 || knobs_.failSetMain) return false;
  main_ = true;
  return true;
}

void FakeDisplayProvider::restoreMainDisplay() {
  beforeCall("restoreMainDisplay");
  std::lock_guard guard(mutex_);
  record("restoreMainDisplay");
  main_ = false;
}

void FakeDisplayProvider::isolatePhysicalDisplays() {
  beforeCall("isolatePhysicalDisplays");
  std::lock_guard guard(mutex_);
  record("isolatePhysicalDisplays");
  isolated_ = true;
}

void FakeDisplayProvider::enforceIsolation() {
  std::lock_guard guard(mutex_);  // called per frame: counted, not recorded
  ++enforceCount_;
}

bool FakeDisplayProvider::isolationSettled() const {
  std::lock_guard guard(mutex_);
  return displayID_ == 0 || !isolated_ || knobs_.isolationSettles;
}

bool FakeDisplayProvider::restorePhysicalDisplays() {
  beforeCall("restorePhysicalDisplays");
  std::lock_guard guard(mutex_);
  record("restorePhysicalDisplays");
  return std::exchange(isolated_, false);
}

void FakeDisplayProvider::destroy() {
  beforeCall("destroy");
  std::lock_guard guard(mutex_);
  record("destroy");
  main_ = false;
  displayID_ = 0;
  reModeCount_ = 0;
}

void FakeDisplayProvider::setKnobs(Knobs knobs) {
  std::lock_guard guard(mutex_);
  knobs_ = knobs;
}

std::vector<std::string> FakeDisplayProvider::calls() const {
  std::lock_guard guard(mutex_);
  return calls_;
}

uint32_t FakeDisplayProvider::displayID() const {
  std::lock_guard guard(mutex_);
  return displayID_;
}

std::pair<int64_t, int64_t> FakeDisplayProvider::mode() const {
  std::lock_guard guard(mutex_);
  return {modeW_, modeH_};
}

bool FakeDisplayProvider::isMain() const {
  std::lock_guard guard(mutex_);
  return main_;
}

bool FakeDisplayProvider::isolated() const {
  std::lock_guard guard(mutex_);
  return isolated_;
}

int64_t FakeDisplayProvider::enforceCount() const {
  std::lock_guard guard(mutex_);
  return enforceCount_;
}

}  // namespace vela::testkit
