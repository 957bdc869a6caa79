// zovemo_config: administration of the measured-boot baseline.
#include <cstdio>
#include <exception>
#include <string>

#include "cli/cli.h"
#include "support/program_start.h"
#include "support/user_diagnostics.h"

int main(int argc, char** argv) {
  start_program("zovemo_config", ToolLogUse::kWrites, kOneFileAtATimeBuild);
  int status = 0;
  try {
    status = run_command_line(argc, argv);
  } catch (const std::exception& error) {
    // Out of memory or threads: said, never an abort without a word.
    tell_user("main", std::string("stopped: ") + error.what() + "; the baseline is as the last save left it");
  }
  fflush(stdout);
  return status;
}
