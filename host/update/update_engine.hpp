#pragma once
// What the update controller asks of an updater: a background check that reports what it found, a
// download that is verified and staged, and an action that installs the staged update and starts the
// new build. Events arrive on the main executor; the calls are made there too.
#include <functional>
#include <optional>
#include <string>

namespace tavlo {

// The found update's texts: the version people read and the build number that orders updates.
struct UpdateItem {
  std::string displayVersion;
  std::string version;
};

struct UpdateFailure {
  int code = 0;
  std::string description;
};

// Failure codes. `noUpdateCode` counts as "up to date", not as an error.
namespace update_error {
inline constexpr int noUpdate = 1001;
inline constexpr int feed = 2001;       // the feed could not be fetched or read
inline constexpr int download = 2002;   // the archive could not be fetched, or is larger or shorter than announced
inline constexpr int signature = 2003;  // the archive's signature does not verify
inline constexpr int archive = 2004;    // the archive is malformed or names a path outside the install folder
inline constexpr int staging = 2005;    // the staging folder could not be written
}  // namespace update_error

struct UpdateEngineEvents {
  std::function<void(const UpdateItem& item)> found;
  std::function<void()> noUpdate;
  std::function<void(const UpdateFailure& failure)> failed;
  // A downloaded, verified and staged update; `install` installs it now and relaunches the host.
  std::function<void(std::function<void()> install)> readyToInstall;
};

// Why an engine cannot run. The two ordinary cases are told apart from a failure: a build made without
// an update key, and a program run from a build tree rather than from a release folder, do not update
// themselves by design, and the settings say so rather than show an error.
struct UpdateStartRefusal {
  enum class Reason { noSigningKey, notReleaseFolder, failed };
  Reason reason = Reason::failed;
  std::string text;
  bool operator==(const UpdateStartRefusal&) const = default;
};

class UpdateEngine {
 public:
  virtual ~UpdateEngine() = default;
  // Starts scheduled checking; why not when the engine cannot run.
  virtual std::optional<UpdateStartRefusal> start(UpdateEngineEvents events) = 0;
  // True while a check, download or staging runs; no new check is started then.
  virtual bool sessionInProgress() const = 0;
  virtual void checkInBackground() = 0;
};

}  // namespace tavlo
