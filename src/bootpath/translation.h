// Boot path translation: a file-system path becomes the boot loader's own
// form of it, "(" device part ")" path on device, asked of the GRUB probe and
// relative-path tools. Rules on top of the probe:
//  - the device part is the first word of "--target bios_hints"; where that
//    names nothing (GRUB guesses BIOS drives from sdX/hdX names only, so
//    NVMe, virtio, MMC and Xen disks get no answer) the first word of
//    "--target compatibility_hint" stands in, which honours the
//    administrator's device map (/boot/grub/device.map);
//  - a device part "lvmid..." becomes "lvm/" + base name of the device node
//    that df reports for the path (second output line, first field);
//  - on a machine whose firmware names "Huawei" as manufacturer, the disk
//    number of a device part "hd<N>..." is raised by one (hd9 -> hd10).
// Paths reach the tools as one argument each, never through a shell. Results
// of any length are handled whole. Translations are thread-safe.
#pragma once

#include <string>

// Why a path has no boot path, in words for the administrator.
struct TranslationFailure {
  std::string cause;   // what failed, e.g. "GRUB has no drive name for disk /dev/vda"
  std::string detail;  // what the programs said on their error output, one line
  std::string advice;  // what to do about it; may be empty
};

// Newly malloc'ed path on device, or nullptr; the caller frees it.
char* grub_mkrelpath(const char* path);

// Newly malloc'ed boot path, or nullptr when the translation fails; the
// caller frees it. Prints and logs nothing.
char* concatenate_json_string(const char* path);

// The longest boot path: what the boot loader's side of the baseline holds.
constexpr size_t kMaxBootPathLength = 1023;

// The same translation as a string; false when it fails (a boot path longer
// than kMaxBootPathLength fails too), with the reason in `failure` when
// given. Prints and logs nothing.
bool translate_boot_path(const std::string& path, std::string* boot_path, TranslationFailure* failure = nullptr);

// Tells the administrator why `path` has no boot path: a level-1 log line
// now, and one stderr line per cause when the command ends.
void report_translation_failure(const char* source, const std::string& path, const TranslationFailure& failure);

// While one lives, translations of regular files reuse what the GRUB tools
// answered for the same filesystem and directory in this run: the device
// part belongs to the filesystem (key: st_dev), and the path on device of a
// file is its directory's followed by its name (key: the directory's text,
// st_dev and mount). A file on another mount than its directory, a symbolic
// link, anything not a regular file, and a directory whose first answer did
// not end in "/" + the file's name are asked anew, exactly as without reuse.
// The commands that translate many files open one for their run; nothing is
// kept after it ends. The builds for comparisons ask for every file instead
// (support/program_start.h).
class BootPathReuse {
 public:
  BootPathReuse();
  ~BootPathReuse();
  BootPathReuse(const BootPathReuse&) = delete;
  BootPathReuse& operator=(const BootPathReuse&) = delete;
};

// Raises the disk number after "hd" by one in decimal; other texts unchanged.
std::string raise_disk_number(const std::string& device);

// Forgets the cached manufacturer answer; for reset_process_state() (cli/process_state.h).
void reset_manufacturer_query();
