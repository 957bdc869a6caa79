// The refresh after package operations: which drifted boot file the
// package manager's records vouch for, file by file. A boot file is
// refreshed only when its content is exactly what an installed package
// ships; an entry goes only where the records show that a package shipped
// the module at the last look and none ships it now; anything else stays
// drift, said with the command that accepts it.
#pragma once

#include <string>

#include "status/drift_report.h"

namespace refresh {

// Where GRUB's packages put the modules that grub-install copies into
// /boot/grub{,2}/PLATFORM.
inline constexpr const char kGrubLibrary[] = "/usr/lib/grub";

// What the package manager's records say, asked file by file.
class Records {
 public:
  virtual ~Records() = default;
  // The installed package whose record holds exactly this file's content;
  // "" otherwise, with `why` saying what the records say.
  virtual std::string vouching_package(const std::string& file, std::string* why) = 0;
  // The package that shipped this module file at the last look and that no
  // installed package ships now; "" without that evidence.
  virtual std::string dropped_by(const std::string& module) = 0;
  // The package that ships most of GRUB's modules of a platform.
  virtual std::string grub_package_of(const std::string& platform) = 0;
};

enum class Step {
  kPass,   // not the refresh's business (a new file that is no module)
  kApply,  // run zovemo_config `option` on the path; `words` say on whose word
  kLeave,  // stays drift; `words` say why, `option` accepts it
};

struct Decision {
  Step step = Step::kPass;
  std::string option;  // "-u", "-a" or "-d"
  std::string words;
};

// The file GRUB's package ships for a module /boot/grub{,2}/PLATFORM/NAME;
// "" for any other path.
std::string packaged_module(const std::string& path);

// A path the refresh may act on: under /boot or /etc, no pattern character
// (dpkg-query -S takes patterns), no control character, not a link and not
// reached through one. Otherwise false with the reason.
bool acceptable_path(const std::string& path, std::string* why);

// The decision for one finding of kind changed, missing or new_file.
Decision decide(drift::FindingKind kind, const std::string& path, Records& records);

}  // namespace refresh
