#include "baseline/discovery.h"

#include "baseline/path_list.h"
#include "support/platform_programs.h"

namespace {

// How a discovery command names its files.
enum class Naming { kNulTerminated, kQuotedLines };

struct DiscoveryCommand {
  std::vector<std::string> argv;
  const char* name;  // how a failure names it
  Naming naming;
  BootFileClass file_class;
  bool skip_kdump;  // the crash kernel's RAM disk is not booted by GRUB
};

// ls is handed only the names its patterns match, through the shell: a
// pattern that matches nothing is no failure, while any status of ls is.
std::vector<std::string> ls_matches(const char* patterns) {
  return {"/bin/sh", "-c",
          std::string("for f in ") + patterns +
              "; do if [ -e \"$f\" ] || [ -L \"$f\" ]; then set -- \"$@\" \"$f\"; fi; done; "
              "[ $# -eq 0 ] || exec ls --quoting-style=c -- \"$@\""};
}

const std::vector<DiscoveryCommand>& discovery_commands() {
  static const std::vector<DiscoveryCommand> commands = {
      {{"find", "/boot", "-name", "*.mod", "-print0"}, "find /boot -name \"*.mod\"", Naming::kNulTerminated,
       BootFileClass::kModule, false},
      {ls_matches("/boot/Image-* /boot/vmlinuz-*"), "ls /boot/Image-* /boot/vmlinuz-*", Naming::kQuotedLines,
       BootFileClass::kKernel, false},
      {ls_matches("/boot/initrd.img-* /boot/initramfs.img-* /boot/initramfs-*"),
       "ls /boot/initrd.img-* /boot/initramfs.img-* /boot/initramfs-*", Naming::kQuotedLines,
       BootFileClass::kInitialRamDisk, true},
      {{"find", "/boot", "-name", "*.cfg", "-print0"}, "find /boot -name \"*.cfg\"", Naming::kNulTerminated,
       BootFileClass::kConfiguration, false},
  };
  return commands;
}

// The name in a line of ls --quoting-style=c: the text between the quotes
// with its C escapes undone. False for anything else ls prints (the heading
// and blank line of a directory's listing).
bool unquote(const std::string& line, std::string* name) {
  if (line.size() < 2 || line.front() != '"' || line.back() != '"') return false;
  static const std::string kEscapes = "abfnrtv\\\"'?";
  static const std::string kMeanings = "\a\b\f\n\r\t\v\\\"'?";
  name->clear();
  for (size_t i = 1; i + 1 < line.size(); ++i) {
    if (line[i] != '\\') {
      if (line[i] == '"') return false;
      *name += line[i];
      continue;
    }
    if (++i + 1 >= line.size()) return false;
    size_t known = kEscapes.find(line[i]);
    if (known != std::string::npos) {
      *name += kMeanings[known];
      continue;
    }
    int value = 0, digits = 0;
    for (; digits < 3 && i + 1 < line.size() && line[i] >= '0' && line[i] <= '7'; ++digits, ++i)
      value = value * 8 + (line[i] - '0');
    if (digits == 0) return false;
    --i;
    *name += static_cast<char>(value);
  }
  return true;
}

std::string failure_of(const char* name, const ProgramOutput& output) {
  std::string text = std::string(name) + " " + output.end_description();
  std::string said = one_line(output.errors);
  return said.empty() ? text : text + ": " + said;
}

}  // namespace

const char* boot_file_class_name(BootFileClass file_class) {
  switch (file_class) {
    case BootFileClass::kModule: return "module";
    case BootFileClass::kKernel: return "kernel";
    case BootFileClass::kInitialRamDisk: return "initrd";
    case BootFileClass::kConfiguration: return "config";
  }
  return "unknown";
}

BootFileDiscovery discover_boot_files() {
  BootFileDiscovery discovery;
  for (const auto& command : discovery_commands()) {
    bool nul = command.naming == Naming::kNulTerminated;
    ProgramOutput output = run_program(command.argv, ErrorOutput::kCapture, 0, nul ? '\0' : '\n');
    if (!output.succeeded() && discovery.failure.empty()) discovery.failure = failure_of(command.name, output);
    for (auto& record : output.lines) {
      std::string name;
      if (nul) name = std::move(record);
      else if (!unquote(record, &name)) continue;
      // ls lists what a directory named like a kernel holds by bare name: no boot file.
      if (name.empty() || name[0] != '/') continue;
      if (command.skip_kdump && is_crash_kernel_ram_disk(name)) continue;
      if (std::string why; !path_can_be_stored(name, &why)) {
        discovery.unlistable.push_back({std::move(name), std::move(why), command.file_class});
        continue;
      }
      discovery.files.push_back({std::move(name), command.file_class});
    }
  }
  discovery.complete = discovery.failure.empty();
  return discovery;
}

bool is_crash_kernel_ram_disk(const std::string& path) { return path.find("kdump.img") != std::string::npos; }

std::vector<std::string> ram_disk_names_of_kernel(const std::string& version, const std::string& dir) {
  std::vector<std::string> names;
  // The forms of the RAM disk patterns of discovery_commands() for one version.
  for (const std::string& name : {"initrd.img-" + version, "initramfs-" + version + ".img", "initramfs.img-" + version})
    if (std::string path = dir + "/" + name; !is_crash_kernel_ram_disk(path)) names.push_back(path);
  return names;
}
