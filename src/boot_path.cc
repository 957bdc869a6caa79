#include "boot_path.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "grub_tools.h"
#include "platform_programs.h"
#include "tool_log.h"

namespace {

std::mutex manufacturer_mutex;
int huawei_machine = -1;  // -1 not asked yet, else 0 or 1

// The firmware does not change while the tool runs: ask it at most once.
bool is_huawei_machine() {
  std::lock_guard<std::mutex> guard(manufacturer_mutex);
  if (huawei_machine < 0) {
    ProgramOutput output = run_program({"dmidecode", "-t", "1"}, ErrorOutput::kInherit);
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
  char* copy = static_cast<char*>(malloc(text.size() + 1 < 1024 ? 1024 : text.size() + 1));
  if (copy == nullptr) return nullptr;
  memset(copy, 0, text.size() + 1 < 1024 ? 1024 : text.size() + 1);
  memcpy(copy, text.data(), text.size());
  return copy;
}

bool path_on_device(const std::string& path, std::string* relative) {
  ProgramOutput output = run_program({GRUB_MKRELPATH, path}, ErrorOutput::kInherit, 1);
  if (output.lines.empty() || output.lines[0].empty() || output.lines[0][0] != '/') return false;
  *relative = output.lines[0];
  return true;
}

// "lvm/" + base name of the device node in df's second line; false without one.
bool lvm_device(const std::string& path, std::string* device) {
  ProgramOutput output = run_program({"df", path}, ErrorOutput::kInherit, 2);
  if (output.lines.size() < 2) return false;
  std::string node = output.lines[1].substr(0, output.lines[1].find(' '));
  *device = "lvm/" + node.substr(node.rfind('/') + 1);
  return true;
}

}  // namespace

std::string raise_disk_number(const std::string& device) {
  if (device.compare(0, 2, "hd") != 0) return device;
  size_t end = 2;
  while (end < device.size() && device[end] >= '0' && device[end] <= '9') ++end;
  if (end == 2 || end - 2 > 9) return device;
  long number = strtol(device.substr(2, end - 2).c_str(), nullptr, 10);
  return "hd" + std::to_string(number + 1) + device.substr(end);
}

bool translate_boot_path(const std::string& path, std::string* boot_path) {
  ProgramOutput probe = run_program({GRUB_PROBE, "--target", "bios_hints", path}, ErrorOutput::kDiscard, 1);
  if (probe.lines.empty() || probe.lines[0].empty()) return false;
  std::string device = probe.lines[0].substr(0, probe.lines[0].find(' '));

  if (device.compare(0, 5, "lvmid") == 0) {
    if (!lvm_device(path, &device)) return false;
  } else if (device.compare(0, 2, "hd") == 0 && is_huawei_machine()) {
    device = raise_disk_number(device);
  }

  std::string relative;
  if (!path_on_device(path, &relative)) return false;
  *boot_path = "(" + device + ")" + relative;
  return true;
}

char* grub_mkrelpath(const char* path) {
  std::string relative;
  return path_on_device(path, &relative) ? copy_out(relative) : nullptr;
}

char* concatenate_json_string(const char* path) {
  std::string boot_path;
  return translate_boot_path(path, &boot_path) ? copy_out(boot_path) : nullptr;
}

void reset_manufacturer_query() {
  std::lock_guard<std::mutex> guard(manufacturer_mutex);
  huawei_machine = -1;
}
