// zovemo_config: administration of the measured-boot baseline.
#include <cstdio>

#include "cli.h"

int main(int argc, char** argv) {
  // Whole lines reach the user at once, also through a pipe, and always
  // before any outside program writes to the same place.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  int status = run_command_line(argc, argv);
  fflush(stdout);
  return status;
}
