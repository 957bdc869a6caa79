#include "refresh/config_command.h"

#include <sstream>

#include "refresh/package_records.h"

namespace refresh {

ConfigRun run_config(const std::string& program, const std::string& option, const std::string& path) {
  ConfigRun run;
  run.output = run_program({program, option, path}, ErrorOutput::kCapture, 0, '\n', RunBounds{program_seconds, 1u << 20});
  run.failed = !run.output.succeeded();
  for (const std::string& line : run.output.lines) {
    if (line == "measure add failed" || line == "measure del failed" || line == "measure upd failed" ||
        line == "input absolute path" ||
        line.ends_with(" not exist, init first"))
      run.failed = true;
  }
  if (!run.failed) return run;
  std::istringstream errors(run.output.errors);
  for (std::string line; std::getline(errors, line);)
    if (line.starts_with("zovemo_config: ")) run.reasons += (run.reasons.empty() ? "" : "; ") + line.substr(15);
  if (run.reasons.empty() && !run.output.succeeded()) run.reasons = "it " + run.output.end_description();
  return run;
}

}  // namespace refresh
