#include "refresh/boot_file_hooks.h"

#include <sys/stat.h>

#include <algorithm>

#include "baseline/boot_files.h"

namespace refresh {

namespace {

// Where GRUB's configuration lies, on Debian's and on Fedora's layout.
const char* const kGrubConfigurations[] = {"/boot/grub/grub.cfg", "/boot/grub2/grub.cfg"};

// A file the tool would measure: regular, not a symbolic link.
bool measurable(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

class Steps {
 public:
  explicit Steps(const std::vector<std::string>& listed) : listed_(listed) {}

  bool listed(const std::string& path) const { return std::find(listed_.begin(), listed_.end(), path) != listed_.end(); }

  // Adds a file, or re-measures it when the list names it already.
  void measure(const std::string& path) {
    if (measurable(path)) steps_.push_back({listed(path) ? "-u" : "-a", path, ""});
  }
  void forget(const std::string& path) {
    if (listed(path)) steps_.push_back({"-d", path, ""});
  }
  void report(const std::string& path, const std::string& why) { steps_.push_back({"", path, why}); }
  // Re-measures GRUB's configuration wherever the baseline holds it.
  void grub_configuration() {
    for (const char* cfg : kGrubConfigurations)
      if (listed(cfg) && measurable(cfg)) steps_.push_back({"-u", cfg, ""});
  }

  std::vector<HookStep> take() { return std::move(steps_); }

 private:
  const std::vector<std::string>& listed_;
  std::vector<HookStep> steps_;
};

std::string argument(const std::vector<std::string>& arguments, size_t index) {
  return index < arguments.size() ? arguments[index] : std::string();
}

// The directory of a kernel image as the kernel's hooks name it.
std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The RAM disks of the kernel of `version` that discovery would find in `dir`.
std::vector<std::string> ram_disks_in(const std::string& dir, const std::string& version) {
  std::vector<std::string> paths;
  for (const std::string& name : ram_disk_names_of_kernel(version)) paths.push_back(dir + "/" + name);
  return paths;
}

// The kernel image (`image`, or /boot/vmlinuz-VERSION when the hook was
// given none) and the RAM disks of its version beside it.
std::vector<std::string> kernel_with_ram_disks(const std::string& version, const std::string& image) {
  std::string kernel = image.empty() ? "/boot/vmlinuz-" + version : image;
  std::vector<std::string> files = {kernel};
  for (std::string& ram_disk : ram_disks_in(directory_of(kernel), version)) files.push_back(std::move(ram_disk));
  return files;
}

// The boot files of a kernel version that kernel-install handles: the image
// and RAM disks as the boot loader's plugin names them in /boot, and those
// kernel-install passed when they lie in /boot (the tool measures nothing
// else). Each once.
std::vector<std::string> kernel_install_files(const std::string& version, const std::vector<std::string>& given) {
  std::vector<std::string> files = {"/boot/vmlinuz-" + version};
  for (std::string& ram_disk : ram_disks_in("/boot", version)) files.push_back(std::move(ram_disk));
  for (const std::string& file : given)
    if (file.compare(0, 6, "/boot/") == 0) files.push_back(file);
  std::vector<std::string> once;
  for (std::string& file : files)
    if (std::find(once.begin(), once.end(), file) == once.end()) once.push_back(std::move(file));
  return once;
}

}  // namespace

bool hook_mode_of(const std::string& name, HookMode* mode) {
  static const std::pair<const char*, HookMode> kModes[] = {
      {"kernel-postinst", HookMode::kKernelPostinst}, {"kernel-prerm", HookMode::kKernelPrerm},
      {"kernel-postrm", HookMode::kKernelPostrm},     {"initramfs-post-update", HookMode::kRamDisk},
      {"grub-cfg", HookMode::kGrubCfg},               {"kernel-install", HookMode::kKernelInstall},
  };
  for (const auto& [known, known_mode] : kModes) {
    if (name != known) continue;
    *mode = known_mode;
    return true;
  }
  return false;
}

std::string package_action_of(const char* maint_params) {
  std::string action = maint_params == nullptr ? "" : maint_params;
  action = action.substr(0, action.find(' '));
  if (!action.empty() && action.front() == '\'') action.erase(0, 1);
  if (!action.empty() && action.back() == '\'') action.pop_back();
  return action;
}

std::vector<HookStep> hook_steps(HookMode mode, const std::vector<std::string>& arguments,
                                 const std::string& package_action, const std::vector<std::string>& listed) {
  Steps steps(listed);
  std::string version = argument(arguments, 0), file = argument(arguments, 1);
  switch (mode) {
    case HookMode::kKernelPostinst:
      // Only a configure (or a run outside dpkg): an abort-upgrade leaves the old files.
      if (!package_action.empty() && package_action != "configure") break;
      if (version.empty()) break;
      for (const std::string& boot_file : kernel_with_ram_disks(version, file)) steps.measure(boot_file);
      steps.grub_configuration();
      break;
    case HookMode::kKernelPrerm:
      // On an upgrade the files are replaced and the postinst hook measures them anew.
      if (!package_action.empty() && package_action != "remove") break;
      if (version.empty()) break;
      for (const std::string& boot_file : kernel_with_ram_disks(version, file)) steps.forget(boot_file);
      break;
    case HookMode::kKernelPostrm:
    case HookMode::kGrubCfg:
      steps.grub_configuration();
      break;
    case HookMode::kRamDisk:
      if (!is_crash_kernel_ram_disk(file)) steps.measure(file);
      break;
    case HookMode::kKernelInstall: {
      std::string command = argument(arguments, 0);
      version = argument(arguments, 1);
      if (version.empty()) break;
      if (command == "add") {
        std::vector<std::string> given(arguments.begin() + std::min<size_t>(arguments.size(), 3), arguments.end());
        for (const std::string& boot_file : kernel_install_files(version, given)) steps.measure(boot_file);
        steps.grub_configuration();
      } else if (command == "remove") {
        // The tool finds an entry through its file: what a plugin before
        // ours has deleted already keeps its entry until the next -i.
        for (const std::string& boot_file : kernel_install_files(version, {})) {
          if (exists(boot_file)) steps.forget(boot_file);
          else if (steps.listed(boot_file))
            steps.report(boot_file, "was removed before this plugin ran; its entry stays until zovemo_config -i");
        }
        steps.grub_configuration();
      }
      break;
    }
  }
  return steps.take();
}

}  // namespace refresh
