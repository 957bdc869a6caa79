// Boot file discovery: the files under /boot that initialisation measures,
// found by one platform command per boot-file class (baseline/boot_files.h,
// which holds the commands' patterns), in the table's order: GRUB modules
// (find), kernels and initial RAM disks (ls through the shell, which
// expands its patterns; the crash kernel's RAM disk left out), then
// configuration files (find).
// find ends each name with NUL and ls quotes each name on a line of its own,
// so no name is ever split. Initialisation and the drift report both ask
// this one module, so the report's "new file" is exactly what -i would add.
//
// A discovery that did not run whole (a command that could not be started,
// ended with a failure status or a signal, or whose output could not be
// read) is reported as failed: what it found may lack boot files, and a
// baseline made from it would pass them unchecked.
#pragma once

#include <string>
#include <vector>

#include "baseline/boot_files.h"

struct DiscoveredFile {
  std::string path;
  BootFileClass file_class;
};

struct UnstorableFile {
  std::string path;
  std::string reason;  // why path_can_be_stored() refused it
  BootFileClass file_class = BootFileClass::kConfiguration;
};

struct BootFileDiscovery {
  bool complete = false;                // every command ran whole
  std::string failure;                  // why not, naming the command and how it ended
  std::vector<DiscoveredFile> files;    // absolute paths in discovery order; a file two
                                        // commands name appears twice, as -i meets it
  std::vector<UnstorableFile> unlistable;  // boot files whose names the baseline cannot hold
};

BootFileDiscovery discover_boot_files();
