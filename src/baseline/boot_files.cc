#include "baseline/boot_files.h"

namespace {

// The names of kernel version V's RAM disk: prefix, V, suffix.
struct RamDiskForm {
  const char* prefix;
  const char* suffix;
};
constexpr RamDiskForm kRamDiskForms[] = {{"initrd.img-", ""}, {"initramfs.img-", ""}, {"initramfs-", ".img"}};

constexpr std::string_view kCrashKernelMark = "kdump.img";

// Discovery lists every name in /boot that begins as one of the forms.
std::string ram_disk_patterns() {
  std::string patterns;
  for (const auto& form : kRamDiskForms) {
    if (!patterns.empty()) patterns += ' ';
    patterns += std::string("/boot/") + form.prefix + "*";
  }
  return patterns;
}

// The order the type markers are tested in: the first a name contains decides.
constexpr BootFileClass kTypeOrder[] = {BootFileClass::kConfiguration, BootFileClass::kKernel,
                                        BootFileClass::kInitialRamDisk, BootFileClass::kModule};
// What a name no rule recognises is typed as, and whose PCR it is placed on.
constexpr BootFileClass kTypedByDefault = BootFileClass::kConfiguration;
constexpr BootFileClass kPlacedByDefault = BootFileClass::kModule;

}  // namespace

const std::vector<BootFileKind>& boot_file_kinds() {
  // One row per class, in the order of the enumeration, which is discovery's.
  static const std::vector<BootFileKind> kinds = {
      {BootFileClass::kModule, "module", DiscoveryTool::kFind, "*.mod", false,  //
       "模块文件", 12, ".mod", {}, nullptr},
      // "Image-*" names are discovered as kernels but hold no "vmlinuz": the
      // name rules type them as configuration files on PCR 12.
      {BootFileClass::kKernel, "kernel", DiscoveryTool::kList, "/boot/Image-* /boot/vmlinuz-*", false,  //
       "内核文件", 9, "vmlinuz", {"vmlinuz"}, nullptr},
      {BootFileClass::kInitialRamDisk, "initrd", DiscoveryTool::kList, ram_disk_patterns(), true,  //
       "初始盘文件", 11, "initr", {"initramfs", "initrd"}, nullptr},
      {BootFileClass::kConfiguration, "config", DiscoveryTool::kFind, "*.cfg", false,  //
       "配置文件", 8, ".cfg", {}, ".cfg"},
  };
  return kinds;
}

const BootFileKind& boot_file_kind(BootFileClass file_class) {
  return boot_file_kinds()[static_cast<size_t>(file_class)];
}

const char* boot_file_class_name(BootFileClass file_class) { return boot_file_kind(file_class).name; }

const BootFileKind& type_of_name(std::string_view base_name) {
  for (BootFileClass file_class : kTypeOrder) {
    const BootFileKind& kind = boot_file_kind(file_class);
    if (base_name.find(kind.type_marker) != std::string_view::npos) return kind;
  }
  return boot_file_kind(kTypedByDefault);
}

int pcr_of_name(std::string_view base_name) {
  for (const auto& kind : boot_file_kinds())
    for (const auto& prefix : kind.pcr_prefixes)
      if (base_name.starts_with(prefix)) return kind.pcr;
  for (const auto& kind : boot_file_kinds())
    if (kind.pcr_suffix != nullptr && base_name.ends_with(kind.pcr_suffix)) return kind.pcr;
  return boot_file_kind(kPlacedByDefault).pcr;
}

int reference_slot_of(int pcr) {
  for (size_t slot = 0; slot < kReferencePcrs.size(); ++slot)
    if (kReferencePcrs[slot] == pcr) return static_cast<int>(slot);
  return -1;
}

std::vector<std::string> ram_disk_names_of_kernel(const std::string& version) {
  std::vector<std::string> names;
  for (const auto& form : kRamDiskForms) {
    std::string name = form.prefix + version + form.suffix;
    if (!is_crash_kernel_ram_disk(name)) names.push_back(std::move(name));
  }
  return names;
}

bool is_crash_kernel_ram_disk(std::string_view name) { return name.find(kCrashKernelMark) != std::string_view::npos; }
