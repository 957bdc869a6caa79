#include "support/program_start.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "support/platform_programs.h"
#include "support/standard_error.h"
#include "support/tool_log.h"

bool one_file_at_a_time = false;

void start_program(const char* name, ToolLogUse log, bool one_file_at_a_time_build) {
  // Whole lines reach the user at once, also through a pipe, and always
  // before any outside program writes to the same place.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // What the shared code tells the user is the program's own, from the start.
  set_user_program_name(name);
  if (log == ToolLogUse::kKeepsClosed) keep_tool_log_closed();
  end_programs_with_the_process();
  // Every file gets the modes the tool means for it: an umask may narrow
  // what others see, never what root itself may read and write.
  umask(umask(0) & 077);
  if (std::string zone = ignore_time_zone_not_in_a_file(); !zone.empty()) warn_user(zone);
  one_file_at_a_time = one_file_at_a_time_build;
}
