#include "bootpath/grub_tools.h"

#include <sys/stat.h>

#include <cstring>

#include "support/platform_programs.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

char GRUB_PROBE[32];
char GRUB_MKRELPATH[32];

namespace {
void select_pair(const char* probe, const char* mkrelpath) {
  memset(GRUB_PROBE, 0, sizeof GRUB_PROBE);
  memset(GRUB_MKRELPATH, 0, sizeof GRUB_MKRELPATH);
  strcpy(GRUB_PROBE, probe);
  strcpy(GRUB_MKRELPATH, mkrelpath);
}

bool is_real_directory(const char* path) {
  struct stat info {};
  return lstat(path, &info) == 0 && S_ISDIR(info.st_mode);
}
}  // namespace

int set_command() {
  if (GRUB_PROBE[0] == 'g' && GRUB_MKRELPATH[0] == 'g') return 0;
  ProgramOutput listing = run_shell_command("ls -d /boot/grub*", 1, ErrorOutput::kCapture);
  if (!listing.started) {
    writeLog(1, "main:set_command() set GRUB_PROBE,GRUB_MKRELPATH error\n");
    tell_user("set_command", "the GRUB directory cannot be looked for: no shell can be started");
    return -1;
  }
  if (listing.lines.empty() || listing.lines[0].empty() || listing.lines[0][0] != '/') {
    writeLog(1, "main:set_command() not find grub probe commond\n");
    std::string said = one_line(listing.errors);
    tell_user("set_command", "no GRUB directory (/boot/grub or /boot/grub2), so GRUB's tools cannot be chosen; "
                             "is GRUB installed?" + (said.empty() ? "" : " (ls: " + said + ")"));
    return -1;
  }
  // The GRUB directory that exists as such decides: a leftover such as
  // /boot/grub.old sorts before /boot/grub2 and must not choose the tools of
  // a GRUB that is not installed.
  if (is_real_directory("/boot/grub")) {
    select_pair("grub-probe", "grub-mkrelpath");
    return 0;
  }
  if (is_real_directory("/boot/grub2")) {
    select_pair("grub2-probe", "grub2-mkrelpath");
    return 0;
  }
  // Neither is a directory of its own: the character right after
  // "/boot/grub" of the first listed entry decides.
  const std::string& first = listing.lines[0];
  if (first.size() > 10 && first[10] == '2') select_pair("grub2-probe", "grub2-mkrelpath");
  else select_pair("grub-probe", "grub-mkrelpath");
  return 0;
}

void reset_grub_tools() {
  memset(GRUB_PROBE, 0, sizeof GRUB_PROBE);
  memset(GRUB_MKRELPATH, 0, sizeof GRUB_MKRELPATH);
}
