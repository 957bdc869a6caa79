#include "cli/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "commands/file_commands.h"
#include "commands/init.h"
#include "baseline/policy.h"
#include "support/user_diagnostics.h"

namespace {

constexpr const char* kOptions = "iu:a:d:bpv:";

void notice(const char* text) { printf("%s\n", text); }

// Without root every step would fail on permissions one by one, each with
// its own noise and misleading advice: say why once and run nothing.
bool refused_unprivileged() {
  if (geteuid() == 0) return false;
  warn_user("must be run as root: it writes /boot and /etc/tavel_trusted and reads the TPM; nothing was done");
  return true;
}

int run_path_command(int option, const char* value) {
  bool refused = refused_unprivileged();
  switch (option) {
    case 'a':
      if (refused || zotrust_add(value) != 0) notice("measure add failed");
      break;
    case 'd':
      if (refused || zotrust_del(value) != 0) notice("measure del failed");
      break;
    default:
      // "--all" as the whole value asks for every file of the path list.
      if (refused || zotrust_upd(strcmp(value, "--all") == 0 ? nullptr : value) != 0) notice("measure upd failed");
      break;
  }
  return 0;
}

int run_policy_command(int option, int argc, char** argv) {
  if (argc <= 3) {
    help();
    return 0;
  }
  // Only the value of the second option counts, whatever its letter.
  optarg = nullptr;
  getopt(argc, argv, kOptions);
  const char* value = optarg;
  bool on = value != nullptr && value[0] == '1';
  bool off = value != nullptr && value[0] == '0';
  if (!on && !off) {
    help();
    return 0;
  }
  bool refused = refused_unprivileged();
  if (option == 'b') {
    if (refused || set_trust_startup(on ? "on" : "off") != 0) notice("set trust startup failed");
  } else {
    if (refused || set_arrest_mode(on ? "dialog" : "log") != 0) notice("set arrest mode failed");
  }
  return 0;
}

// What the administrator should know before a command runs; the command
// itself still runs and reports as it always does.
void check_surroundings() {
  struct stat log_directory {};
  if (stat("/etc/tavel_trusted", &log_directory) != 0)
    warn_user("/etc/tavel_trusted does not exist: nothing will be logged");
  else if (!S_ISDIR(log_directory.st_mode))
    warn_user("/etc/tavel_trusted is not a directory: nothing will be logged");
}

int run_option(int argc, char** argv) {
  int option = getopt(argc, argv, kOptions);
  if (option == -1 || strchr("iadubp", option) == nullptr || option == 0) {
    help();
    return 255;
  }
  if (geteuid() == 0) check_surroundings();
  if (option == 'i') {
    notice("---start measure init---");
    if (refused_unprivileged() || zotrust_init() != 0) notice("measure init failed");
    return 0;
  }
  if (argc <= 2) {
    help();
    return 0;
  }
  if (option == 'b' || option == 'p') return run_policy_command(option, argc, argv);
  return run_path_command(option, optarg);
}

}  // namespace

void help() {
  printf("\n");
  printf("zovemo_config -i\n");
  printf("zovemo_config -a/-d absolutepath\n");
  printf("zovemo_config -u [absolutepath]\n");
  printf("zovemo_config -u --all\n");
  printf("zovemo_config -b -v 0/1\n");
  printf("zovemo_config -p -v 0/1\n");
  printf("\n");
}

int run_command_line(int argc, char** argv) {
  int status = run_option(argc, argv);
  // What went wrong reaches the terminal once per cause, after the progress lines.
  flush_user_diagnostics();
  return status;
}
