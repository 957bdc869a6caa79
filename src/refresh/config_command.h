// One zovemo_config command of the refresh or of a boot-file hook, run
// bounded in time with its words captured, and whether it failed: the tool
// reports a failed command by a notice line on its standard output, not by
// its exit status.
#pragma once

#include <string>

#include "support/platform_programs.h"

namespace refresh {

struct ConfigRun {
  ProgramOutput output;
  bool failed = false;
  // Why, in one line: the reasons the tool gave on standard error, else how
  // the run ended when that was no success; "" when it said nothing.
  std::string reasons;
};

// Runs `program` (zovemo_config) with `option` and `path`, at most
// program_seconds.
ConfigRun run_config(const std::string& program, const std::string& option, const std::string& path);

}  // namespace refresh
