// zovemo_config: administration of the measured-boot baseline.
#include <sys/stat.h>

#include <cstdio>
#include <exception>
#include <string>

#include "bootpath/translation.h"
#include "cli/cli.h"
#include "support/worker_pool.h"
#include "support/platform_programs.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

int main(int argc, char** argv) {
  // Whole lines reach the user at once, also through a pipe, and always
  // before any outside program writes to the same place.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  end_programs_with_the_process();
  // Every file gets the modes the tool means for it: an umask may narrow
  // what others see, never what root itself may read and write.
  umask(umask(0) & 077);
  if (std::string zone = ignore_time_zone_not_in_a_file(); !zone.empty()) warn_user(zone);
#ifdef ZOVEMO_ONE_FILE_AT_A_TIME
  // A build for comparisons only: the same tool measuring one file at a time.
  measurement_workers = 1;
  boot_path_reuse_allowed = false;
#endif
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
