#include "bootpath/translation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

#include "bootpath/grub_tools.h"
#include "support/platform_programs.h"
#include "support/program_start.h"
#include "support/tool_log.h"
#include "support/user_diagnostics.h"

namespace {

std::mutex manufacturer_mutex;
int huawei_machine = -1;  // -1 not asked yet, else 0 or 1

// The firmware does not change while the tool runs: ask it at most once.
// Machines without DMI tables make dmidecode complain; that is no failure of
// anything (the rule simply does not apply), so its words are dropped.
bool is_huawei_machine() {
  std::lock_guard<std::mutex> guard(manufacturer_mutex);
  if (huawei_machine < 0) {
    ProgramOutput output = run_program({"dmidecode", "-t", "1"}, ErrorOutput::kCapture);
    huawei_machine = 0;
    for (const auto& line : output.lines) {
      if (line.find("Manufacturer") == std::string::npos) continue;
      huawei_machine = line.find("Huawei") != std::string::npos;
      break;
    }
  }
  return huawei_machine == 1;
}

char* copy_out(const std::string& text) {
  size_t size = text.size() + 1 < 1024 ? 1024 : text.size() + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy == nullptr) return nullptr;
  memset(copy, 0, size);
  memcpy(copy, text.data(), text.size());
  return copy;
}

void fail_with(TranslationFailure* failure, std::string cause, std::string detail, std::string advice = "") {
  if (failure != nullptr) *failure = {std::move(cause), std::move(detail), std::move(advice)};
}

// The most a GRUB tool's answer may hold: one part of a boot path and its line end.
constexpr RunBounds kGrubAnswer{0, kMaxBootPathLength + 1};

// What the program said, and how it ended when that was a failure.
std::string program_said(const ProgramOutput& output, const char* program) {
  if (!output.started) return std::string(program) + " " + output.end_description();
  std::string said = one_line(output.errors);
  if (output.succeeded()) return said;
  std::string ended = std::string(program) + " " + output.end_description();
  return said.empty() ? ended : ended + ": " + said;
}

// A GRUB tool that failed gave no answer, whatever it printed.
bool answered(const ProgramOutput& output) {
  return output.succeeded() && !output.lines.empty() && !output.lines[0].empty();
}

bool has_control_character(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// A program that outlasted its bound explains the failure by itself.
bool fail_on_timeout(const ProgramOutput& output, const char* program, TranslationFailure* failure) {
  if (!output.timed_out) return false;
  fail_with(failure, std::string(program) + " " + output.end_description(), one_line(output.errors));
  return true;
}

bool path_on_device(const std::string& path, std::string* relative, TranslationFailure* failure) {
  ProgramOutput output = run_program({GRUB_MKRELPATH, path}, ErrorOutput::kCapture, 1, '\n', kGrubAnswer);
  if (fail_on_timeout(output, GRUB_MKRELPATH, failure)) return false;
  if (!answered(output) || output.lines[0][0] != '/') {
    fail_with(failure, std::string(GRUB_MKRELPATH) + " gave no path on the device", program_said(output, GRUB_MKRELPATH));
    return false;
  }
  if (has_control_character(output.lines[0])) {
    fail_with(failure, std::string(GRUB_MKRELPATH) + " answered no path on the device",
              "it printed \"" + one_line(output.lines[0]) + "\"");
    return false;
  }
  *relative = output.lines[0];
  return true;
}

// "lvm/" + base name of the device node in df's second line; false without one.
bool lvm_device(const std::string& path, std::string* device, TranslationFailure* failure) {
  ProgramOutput output = run_program({"df", path}, ErrorOutput::kCapture, 2);
  if (fail_on_timeout(output, "df", failure)) return false;
  if (output.lines.size() < 2) {
    fail_with(failure, "df names no device for the logical volume", program_said(output, "df"));
    return false;
  }
  std::string node = output.lines[1].substr(0, output.lines[1].find(' '));
  *device = "lvm/" + node.substr(node.rfind('/') + 1);
  return true;
}

std::string device_map_path() {
  return std::string(strncmp(GRUB_PROBE, "grub2", 5) == 0 ? "/boot/grub2" : "/boot/grub") + "/device.map";
}

// The device node of the whole disk holding `path`'s filesystem, from sysfs
// ("/dev/nvme0n1"), or empty when it lies on no block device.
std::string disk_of(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || major(info.st_dev) == 0) return "";
  namespace fs = std::filesystem;
  std::error_code error;
  std::string sys = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
  fs::path device = fs::canonical(sys, error);
  if (error) return "";
  // A partition's sysfs directory sits inside its disk's.
  if (fs::exists(device / "partition", error)) device = device.parent_path();
  std::string named = "/dev/" + device.filename().string();
  unsigned disk_major = 0, disk_minor = 0;
  FILE* numbers = fopen((device / "dev").c_str(), "re");
  if (numbers == nullptr) return named;
  int read = fscanf(numbers, "%u:%u", &disk_major, &disk_minor);
  fclose(numbers);
  if (read != 2) return named;
  dev_t disk = makedev(disk_major, disk_minor);
  // The node GRUB finds is the one in /dev with the disk's numbers; it
  // normally bears the kernel's name.
  struct stat node {};
  if (stat(named.c_str(), &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == disk) return named;
  for (const auto& entry : fs::directory_iterator("/dev", error)) {
    if (stat(entry.path().c_str(), &node) == 0 && S_ISBLK(node.st_mode) && node.st_rdev == disk)
      return entry.path().string();
  }
  return named;
}

// Why neither probe named a drive, and what the administrator can do.
void explain_missing_drive(const std::string& path, const ProgramOutput& probe, TranslationFailure* failure) {
  if (failure == nullptr) return;
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    fail_with(failure, "the file does not exist", program_said(probe, GRUB_PROBE));
    return;
  }
  std::string disk = disk_of(path);
  if (disk.empty()) {
    fail_with(failure, "the file lies on no disk that GRUB can read (no block device holds its filesystem)",
              program_said(probe, GRUB_PROBE));
    return;
  }
  fail_with(failure, "GRUB has no drive name for disk " + disk, program_said(probe, GRUB_PROBE),
            "name it in " + device_map_path() + ", e.g. \"(hd0) " + disk +
                "\" (see DEVICE MAP in zovemo_config(8))");
}

// A drive name is printable text without parentheses: anything else (a
// control character, bytes of a binary) would corrupt the stored boot path.
bool looks_like_drive(const std::string& device) {
  for (unsigned char c : device)
    if (c < 0x20 || c >= 0x7f || c == '(' || c == ')') return false;
  return true;
}

// The first word of the probe's first line: bios_hints as the boot loader's
// own guess, the compatibility hint (which reads the device map) where the
// guess names nothing.
bool probe_device_part(const std::string& path, std::string* device, TranslationFailure* failure) {
  ProgramOutput probe =
      run_program({GRUB_PROBE, "--target", "bios_hints", path}, ErrorOutput::kDiscard, 1, '\n', kGrubAnswer);
  if (fail_on_timeout(probe, GRUB_PROBE, failure)) return false;
  if (!answered(probe)) {
    probe = run_program({GRUB_PROBE, "--target", "compatibility_hint", path}, ErrorOutput::kCapture, 1, '\n',
                        kGrubAnswer);
    if (fail_on_timeout(probe, GRUB_PROBE, failure)) return false;
    if (!probe.started) {
      // Out of file descriptors or processes, say: the disk is not to blame.
      fail_with(failure, std::string(GRUB_PROBE) + " " + probe.end_description(), "");
      return false;
    }
    if (!answered(probe)) {
      explain_missing_drive(path, probe, failure);
      return false;
    }
  }
  *device = probe.lines[0].substr(0, probe.lines[0].find(' '));
  if (!looks_like_drive(*device)) {
    fail_with(failure, "GRUB's probe answered no drive name", "it printed \"" + one_line(*device) + "\"");
    return false;
  }
  if (device->compare(0, 5, "lvmid") == 0) return lvm_device(path, device, failure);
  if (device->compare(0, 2, "hd") == 0 && is_huawei_machine()) *device = raise_disk_number(*device);
  return true;
}

// What one run learnt from the GRUB tools. Each slot is filled once; a
// worker that needs a slot being filled waits for it instead of asking the
// tools again.
struct DeviceSlot {
  std::mutex mutex;
  bool filled = false;
  bool ok = false;
  std::string device;
  TranslationFailure failure;
};

struct DirectorySlot {
  std::mutex mutex;
  bool known = false;  // directory's path on device learnt from an answer
  std::string directory_on_device;
};

using DirectoryKey = std::tuple<std::string, dev_t, uint64_t>;

struct ReuseState {
  std::mutex mutex;
  std::map<dev_t, std::shared_ptr<DeviceSlot>> devices;
  std::map<DirectoryKey, std::shared_ptr<DirectorySlot>> directories;
};

std::mutex reuse_mutex;
std::shared_ptr<ReuseState> active_reuse;
int reuse_depth = 0;

std::shared_ptr<ReuseState> current_reuse() {
  std::lock_guard<std::mutex> guard(reuse_mutex);
  return active_reuse;
}

// Where a file lives: its filesystem and mount, and its directory's.
struct Placement {
  dev_t device = 0;
  uint64_t mount = 0;
  std::string directory;
  bool same_mount_as_directory = false;
};

// Only a regular file, not a link, qualifies for reuse.
bool place_regular_file(const std::string& path, Placement* placement) {
  struct statx file {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MNT_ID, &file) != 0) return false;
  if (!S_ISREG(file.stx_mode) || !(file.stx_mask & STATX_MNT_ID)) return false;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return false;
  placement->device = makedev(file.stx_dev_major, file.stx_dev_minor);
  placement->mount = file.stx_mnt_id;
  placement->directory = path.substr(0, slash);
  struct statx directory {};
  const char* directory_path = slash == 0 ? "/" : placement->directory.c_str();
  if (statx(AT_FDCWD, directory_path, 0, STATX_TYPE | STATX_MNT_ID, &directory) != 0) return false;
  placement->same_mount_as_directory = makedev(directory.stx_dev_major, directory.stx_dev_minor) == placement->device &&
                                       (directory.stx_mask & STATX_MNT_ID) && directory.stx_mnt_id == placement->mount;
  return true;
}

bool reused_device_part(ReuseState& state, const std::string& path, const Placement& placement, std::string* device,
                        TranslationFailure* failure) {
  std::shared_ptr<DeviceSlot> slot;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    auto& entry = state.devices[placement.device];
    if (!entry) entry = std::make_shared<DeviceSlot>();
    slot = entry;
  }
  std::lock_guard<std::mutex> guard(slot->mutex);
  if (!slot->filled) {
    slot->ok = probe_device_part(path, &slot->device, &slot->failure);
    slot->filled = true;
  }
  if (!slot->ok) {
    if (failure != nullptr) *failure = slot->failure;
    return false;
  }
  *device = slot->device;
  return true;
}

bool reused_path_on_device(ReuseState& state, const std::string& path, const Placement& placement,
                           std::string* relative, TranslationFailure* failure) {
  if (!placement.same_mount_as_directory) return path_on_device(path, relative, failure);
  std::shared_ptr<DirectorySlot> slot;
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    auto& entry = state.directories[{placement.directory, placement.device, placement.mount}];
    if (!entry) entry = std::make_shared<DirectorySlot>();
    slot = entry;
  }
  std::string name = path.substr(placement.directory.size() + 1);
  std::lock_guard<std::mutex> guard(slot->mutex);
  if (slot->known) {
    *relative = slot->directory_on_device + "/" + name;
    return true;
  }
  if (!path_on_device(path, relative, failure)) return false;
  // Learn the directory only from an answer that ends in this file's own name.
  const std::string& answer = *relative;
  if (!name.empty() && answer.size() > name.size() && answer.compare(answer.size() - name.size(), name.size(), name) == 0 &&
      answer[answer.size() - name.size() - 1] == '/') {
    slot->directory_on_device = answer.substr(0, answer.size() - name.size() - 1);
    slot->known = true;
  }
  return true;
}

}  // namespace

BootPathReuse::BootPathReuse() {
  std::lock_guard<std::mutex> guard(reuse_mutex);
  if (reuse_depth++ == 0 && !one_file_at_a_time) active_reuse = std::make_shared<ReuseState>();
}

BootPathReuse::~BootPathReuse() {
  std::lock_guard<std::mutex> guard(reuse_mutex);
  if (--reuse_depth == 0) active_reuse.reset();
}

std::string raise_disk_number(const std::string& device) {
  if (device.compare(0, 2, "hd") != 0) return device;
  size_t end = 2;
  while (end < device.size() && device[end] >= '0' && device[end] <= '9') ++end;
  if (end == 2 || end - 2 > 9) return device;
  long number = strtol(device.substr(2, end - 2).c_str(), nullptr, 10);
  return "hd" + std::to_string(number + 1) + device.substr(end);
}


bool translate_boot_path(const std::string& path, std::string* boot_path, TranslationFailure* failure) {
  std::shared_ptr<ReuseState> reuse = current_reuse();
  Placement placement;
  bool reusable = reuse && place_regular_file(path, &placement);

  std::string device;
  bool placed = reusable ? reused_device_part(*reuse, path, placement, &device, failure)
                         : probe_device_part(path, &device, failure);
  if (!placed) return false;

  std::string relative;
  bool found = reusable ? reused_path_on_device(*reuse, path, placement, &relative, failure)
                        : path_on_device(path, &relative, failure);
  if (!found) return false;
  std::string translated = "(" + device + ")" + relative;
  if (translated.size() > kMaxBootPathLength) {
    fail_with(failure, "the boot path is longer than " + std::to_string(kMaxBootPathLength) + " characters",
              std::to_string(translated.size()) + " characters");
    return false;
  }
  *boot_path = std::move(translated);
  return true;
}

void report_translation_failure(const char* source, const std::string& path, const TranslationFailure& failure) {
  tell_user_about_file(source, "no boot path: " + failure.cause, path, failure.detail, failure.advice);
}

char* grub_mkrelpath(const char* path) {
  std::string relative;
  return path_on_device(path, &relative, nullptr) ? copy_out(relative) : nullptr;
}

char* concatenate_json_string(const char* path) {
  std::string boot_path;
  return translate_boot_path(path, &boot_path) ? copy_out(boot_path) : nullptr;
}

void reset_manufacturer_query() {
  std::lock_guard<std::mutex> guard(manufacturer_mutex);
  huawei_machine = -1;
}
