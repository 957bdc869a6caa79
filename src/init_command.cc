#include "init_command.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "baseline_document.h"
#include "baseline_entries.h"
#include "boot_path.h"
#include "durable_file.h"
#include "grub_tools.h"
#include "measurement_pool.h"
#include "path_list.h"
#include "platform_programs.h"
#include "tool_log.h"
#include "tpm_store.h"
#include "user_diagnostics.h"

namespace {

struct DiscoveryCommand {
  const char* command;
  bool skip_kdump;  // the crash kernel's RAM disk is not booted by GRUB
};

constexpr DiscoveryCommand kDiscovery[] = {
    {"find /boot -name \"*.mod\"", false},
    {"ls /boot/Image-* /boot/vmlinuz-* 2> /dev/null", false},
    {"ls /boot/initrd.img-* /boot/initramfs.img-* /boot/initramfs-* 2> /dev/null", true},
    {"find /boot -name \"*.cfg\"", false},
};

constexpr size_t kReservationPerEntry = 384;

// The path list as it stood before discovery overwrote it: put back when the
// new baseline cannot be saved, so the old document and its list agree.
std::optional<std::string> previous_path_list;

void restore_previous_path_list() {
  if (!previous_path_list) return;
  std::string error;
  if (replace_file(kPathListPath, *previous_path_list, &error, kPathListScratch) != 0)
    writeLog(1, "main:create_measurefile() restore \"%s\" failed: %s\n", kPathListPath, error.c_str());
}

constexpr size_t kLeftOutNamed = 3;

std::string describe_left_out(const std::vector<std::string>& left_out, size_t found) {
  std::string text = std::to_string(left_out.size()) + " of " + std::to_string(found) +
                     " boot files found are left out of the baseline: ";
  for (size_t i = 0; i < left_out.size() && i < kLeftOutNamed; ++i) text += (i ? ", " : "") + left_out[i];
  if (left_out.size() > kLeftOutNamed) text += ", ...";
  return text;
}

}  // namespace

int before_start_proc() {
  if (testing_tpm_chip() == 0) tpm_chip_exist = 1;
  return set_command();
}

int zotrust_init() {
  if (before_start_proc() != 0) return -1;
  DocumentSession session;
  if (lock_baseline() != 0) {
    writeLog(1, "main:zotrust_init() lock \"/boot\" failed\n");
    return -1;
  }
  int result = create_measurefiles_list();
  if (result != 0) return result;
  // A baseline that was not saved keeps its own boot log reservation.
  if (create_measurefile() != 0) return -1;
  return fill_grub_log();
}

int create_measurefiles_list() {
  std::string previous;
  previous_path_list.reset();
  if (read_whole_file(kPathListPath, &previous)) previous_path_list = std::move(previous);
  std::vector<std::string> paths;
  for (const auto& discovery : kDiscovery) {
    ProgramOutput output = run_shell_command(discovery.command);
    for (auto& line : output.lines) {
      if (discovery.skip_kdump && line.find("kdump.img") != std::string::npos) continue;
      paths.push_back(std::move(line));
    }
  }
  if (write_path_list(paths) != 0) {
    writeLog(1, "main:create_measurefiles_list() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  return 0;
}

int create_measurefile() {
  init_json();
  std::vector<std::string> listed;
  if (!read_path_list(&listed)) {
    writeLog(1, "main:create_measurefile() open \"%s\" failed\n", kPathListPath);
    return -1;
  }
  std::vector<std::string> measured, left_out;
  auto record = [&](const std::string& path, int result) {
    if (result != 0) {
      writeLog(0, "main:create_measurefile() init add \"%s\" failed\n", path.c_str());
      left_out.push_back(path);
    } else {
      measured.push_back(path);
    }
  };
  BootPathReuse reuse;
  if (pool_size() == 1) {
    for (const auto& path : listed) record(path, measurefile_add(path.c_str()));
  } else {
    for_each_prepared(listed, [&](size_t i, const PreparedFile& prepared) {
      record(listed[i], commit_add(listed[i], prepared));
    });
  }
  if (!left_out.empty() && measured.empty()) {
    // A baseline that names no file would pass every boot unchecked.
    tell_user("create_measurefile", "none of the " + std::to_string(listed.size()) +
                                        " boot files found could be measured; the previous baseline is kept");
    restore_previous_path_list();
    return -1;
  }
  if (!left_out.empty()) tell_user("create_measurefile", describe_left_out(left_out, listed.size()));
  // The document first: if it cannot be saved the old baseline stays whole.
  if (save_json() != 0) {
    restore_previous_path_list();
    return -1;
  }
  if (write_path_list(measured) != 0) return -1;
  if (tpm_chip_exist == 1) init_measure_tpm_exist();
  return 0;
}

int fill_grub_log() {
  size_t entries = file_list != nullptr ? json_object_array_length(file_list) : 0;
  std::string reservation(kReservationPerEntry * (entries + 8), '#');
  std::string error;
  if (replace_file(kBootLogPath, reservation, &error) != 0) {
    writeLog(1, "main:fill_grub_log() %s\n", error.c_str());
    return -1;
  }
  return 0;
}
