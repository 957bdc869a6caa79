// What the kernel, initial RAM disk and grub.cfg hooks do to the baseline:
// which boot files a run measures (-a, or -u when the path list names them
// already), updates or forgets (-d), decided on the path list and the
// kernel's RAM-disk names as initialisation finds them. The hook only says
// how it was called.
#pragma once

#include <string>
#include <vector>

namespace refresh {

enum class HookMode {
  kKernelPostinst,  // VERSION [IMAGE]: the new kernel, its RAM disks, then grub.cfg
  kKernelPrerm,     // VERSION [IMAGE]: the kernel's and its RAM disks' entries go
  kKernelPostrm,    // grub.cfg, which the boot loader's hook has rewritten
  kRamDisk,         // VERSION RAM_DISK: the RAM disk that was (re)built
  kGrubCfg,         // grub.cfg
  kKernelInstall,   // add VERSION ENTRY_DIR IMAGE [INITRD...] | remove VERSION ENTRY_DIR
};

// The mode a hook names: "kernel-postinst", "kernel-prerm", "kernel-postrm",
// "initramfs-post-update", "grub-cfg", "kernel-install".
bool hook_mode_of(const std::string& name, HookMode* mode);

// One step of a hook run: zovemo_config `option` on `path`, or, without an
// option, `path` that cannot be handled and why (`why`).
struct HookStep {
  std::string option;  // "-a", "-u", "-d", or "" for a report
  std::string path;
  std::string why;
};

// The steps of one hook run. `package_action` is the first word of the
// maintainer script's arguments when a package operation runs the hook
// ("configure", "remove", "upgrade"; "" otherwise); `listed` the lines of
// the path list.
std::vector<HookStep> hook_steps(HookMode mode, const std::vector<std::string>& arguments,
                                 const std::string& package_action, const std::vector<std::string>& listed);

// The first word of DEB_MAINT_PARAMS as dpkg hands it to the kernel's
// maintainer scripts (each word may be quoted: "'configure' '6.1.0-14'").
std::string package_action_of(const char* maint_params);

}  // namespace refresh
