// The classes of boot files, said once: one row per class with how
// initialisation discovers its files under /boot, the file type its entries
// carry and the emulated PCR they belong to; beside the rows the reference
// PCRs and the slot of the reference index that holds each, the name rules
// that type a file and place it on a PCR by its base name, and the names a
// kernel version's RAM disk takes.
//
// Discovery goes by where and how a file is found, the name rules by the
// base name alone, as the boot side's do; the two do not always agree. An
// ARM kernel "Image-*" is discovered as a kernel (zovemo_status reports it
// as one) but its name holds no "vmlinuz": the name rules type its entry as
// a configuration file and place it on PCR 12, and so does the boot. Any
// file the rules do not recognise, such as one under /etc, is typed and
// placed that way too.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum class BootFileClass { kModule, kKernel, kInitialRamDisk, kConfiguration };

// How a class's files are discovered, with the row's patterns:
//   kFind  find /boot -name PATTERN -print0       every file below /boot so named,
//                                                 its name ended by NUL
//   kList  ls --quoting-style=c PATTERNS          the names the shell patterns
//                                                 match, one quoted name a line
enum class DiscoveryTool { kFind, kList };

struct BootFileKind {
  BootFileClass file_class;
  const char* name;  // "module", "kernel", "initrd", "config": how zovemo_status names the class

  // Discovery, row by row in this table's order.
  DiscoveryTool tool;
  std::string patterns;
  bool leaves_out_crash_kernel;  // a name is_crash_kernel_ram_disk() holds for is no boot file

  // The entry of a file the name rules give this class.
  const char* file_type;  // its "file_type"
  int pcr;                // its "pcr"; one of kReferencePcrs

  // Name rules, tested on the base name (see type_of_name and pcr_of_name).
  const char* type_marker;                // typed as this class when the name contains it
  std::vector<std::string> pcr_prefixes;  // on this class's PCR when the name starts with one,
  const char* pcr_suffix;                 // or ends with this (nullptr: no such rule)
};

// The rows, in discovery order: modules, kernels, RAM disks, configuration.
const std::vector<BootFileKind>& boot_file_kinds();
const BootFileKind& boot_file_kind(BootFileClass file_class);
// The row's name: "module", "kernel", "initrd", "config".
const char* boot_file_class_name(BootFileClass file_class);

// The row whose file type a base name gets: the first class, in the order
// configuration, kernel, RAM disk, module, whose marker the name contains;
// configuration when none does.
const BootFileKind& type_of_name(std::string_view base_name);
// The PCR a base name belongs to: that of the class one of whose prefixes
// the name starts with, else of the class whose suffix it ends with, else
// the modules' PCR, 12, which takes every file no rule places.
int pcr_of_name(std::string_view base_name);

// The reference PCRs, in slot order: slot i of the reference index (NV
// 0x1500016) holds the reference value of kReferencePcrs[i].
inline constexpr std::array<int, 4> kReferencePcrs = {8, 9, 11, 12};
inline constexpr size_t kReferenceSlotSize = 32;  // one SM3-256 value
inline constexpr size_t kReferenceIndexSize = kReferencePcrs.size() * kReferenceSlotSize;
// The slot of `pcr` in the reference index; -1 for a PCR without one.
int reference_slot_of(int pcr);

// The base names a kernel version's RAM disk takes in /boot, in discovery's
// order of the forms, the crash kernel's left out.
std::vector<std::string> ram_disk_names_of_kernel(const std::string& version);
// The crash kernel's RAM disk ("...kdump.img"): not booted by GRUB, so
// neither discovered nor measured with its kernel.
bool is_crash_kernel_ram_disk(std::string_view name);
