// The package manager's records, read through dpkg-query and rpm (each run
// bounded in time), and the record of GRUB's shipped modules that the
// refresh keeps between runs as the evidence for deleting an entry.
#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "refresh/refresh_decision.h"
#include "support/platform_programs.h"

namespace refresh {

// The tool's own root-only directory, and what the refresh keeps there.
inline constexpr const char kStateDir[] = "/etc/tavel_trusted";
inline constexpr const char kShippedRecord[] = "/etc/tavel_trusted/grub-modules.shipped";

// Each program run of the refresh at most this many seconds:
// kProgramSeconds unless zovemo_refresh is given --program-seconds.
inline constexpr int kProgramSeconds = 30;
inline int program_seconds = kProgramSeconds;

// True when the state directory is one only root can change.
bool state_dir_safe();

// "/usr/lib/grub/PLATFORM/NAME<TAB>PACKAGE" pairs.
using Shipped = std::set<std::pair<std::string, std::string>>;

// The lines of dpkg-query -S ("PACKAGE[, PACKAGE...]: PATH", "diversion
// by ..." lines) as (path, package) pairs of GRUB's module files.
Shipped shipped_from_dpkg(const std::vector<std::string>& lines);

class PackageRecords : public Records {
 public:
  // Reads what the installed packages ship under /usr/lib/grub now; false
  // when the records could not be read whole (then nothing may be concluded
  // from a module they lack).
  bool read_shipped();
  // One look into dpkg's database for every file a record could speak for.
  void read_owners(const std::vector<std::string>& files);
  // Keeps the record of shipped modules for the next refresh: what the
  // packages ship now, and what they shipped before for a module the
  // baseline still holds. Nothing when the records were not read whole.
  void keep_shipped_record() const;

  std::string vouching_package(const std::string& file, std::string* why) override;
  std::string dropped_by(const std::string& module) override;
  std::string grub_package_of(const std::string& platform) override;

  // "" while every program the records were read with answered in time;
  // else which did not, and the refresh reads nothing more.
  const std::string& stalled() const { return stalled_; }

 private:
  ProgramOutput run(const std::vector<std::string>& argv);

  std::vector<std::string> dpkg_owners(const std::string& file) const;
  std::string dpkg_record(const std::string& package, const std::string& file);

  bool shipped_known_ = false;
  Shipped shipped_now_;
  std::vector<std::string> owner_lines_;
  std::string stalled_;
};

}  // namespace refresh
