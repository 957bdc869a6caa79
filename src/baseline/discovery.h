// Boot file discovery: the files under /boot that initialisation measures,
// found by four platform commands (ls through the shell, which expands its
// patterns), in this order:
//   1. find /boot -name "*.mod"                      GRUB modules
//   2. ls /boot/Image-* /boot/vmlinuz-*              kernels
//   3. ls /boot/initrd.img-* /boot/initramfs.img-* /boot/initramfs-*
//                                                    initial RAM disks, the crash
//                                                    kernel's "kdump.img" left out
//   4. find /boot -name "*.cfg"                      configuration files
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

enum class BootFileClass { kModule, kKernel, kInitialRamDisk, kConfiguration };

// "module", "kernel", "initrd", "config".
const char* boot_file_class_name(BootFileClass file_class);

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

// The crash kernel's initial RAM disk ("kdump.img" in its name), which GRUB
// does not boot.
bool is_crash_kernel_ram_disk(const std::string& path);

// The initial RAM disks in `dir` that discovery would find for the kernel
// of `version` (initrd.img-VERSION, initramfs-VERSION.img,
// initramfs.img-VERSION), the crash kernel's left out.
std::vector<std::string> ram_disk_names_of_kernel(const std::string& version, const std::string& dir = "/boot");
