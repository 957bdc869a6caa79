#include "baseline/discovery.h"

#include "baseline/path_list.h"
#include "support/platform_programs.h"

namespace {

// ls is handed only the names its patterns match, through the shell: a
// pattern that matches nothing is no failure, while any status of ls is.
std::vector<std::string> ls_matches(const std::string& patterns) {
  return {"/bin/sh", "-c",
          "for f in " + patterns +
              "; do if [ -e \"$f\" ] || [ -L \"$f\" ]; then set -- \"$@\" \"$f\"; fi; done; "
              "[ $# -eq 0 ] || exec ls --quoting-style=c -- \"$@\""};
}

// The command that discovers a class's files, and how a failure names it.
std::vector<std::string> discovery_argv(const BootFileKind& kind) {
  if (kind.tool == DiscoveryTool::kFind) return {"find", "/boot", "-name", kind.patterns, "-print0"};
  return ls_matches(kind.patterns);
}

std::string discovery_name(const BootFileKind& kind) {
  if (kind.tool == DiscoveryTool::kFind) return "find /boot -name \"" + kind.patterns + "\"";
  return "ls " + kind.patterns;
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

std::string failure_of(const std::string& name, const ProgramOutput& output) {
  std::string text = name + " " + output.end_description();
  std::string said = one_line(output.errors);
  return said.empty() ? text : text + ": " + said;
}

}  // namespace

BootFileDiscovery discover_boot_files() {
  BootFileDiscovery discovery;
  for (const BootFileKind& kind : boot_file_kinds()) {
    bool nul = kind.tool == DiscoveryTool::kFind;
    ProgramOutput output = run_program(discovery_argv(kind), ErrorOutput::kCapture, 0, nul ? '\0' : '\n');
    if (!output.succeeded() && discovery.failure.empty()) discovery.failure = failure_of(discovery_name(kind), output);
    for (auto& record : output.lines) {
      std::string name;
      if (nul) name = std::move(record);
      else if (!unquote(record, &name)) continue;
      // ls lists what a directory named like a kernel holds by bare name: no boot file.
      if (name.empty() || name[0] != '/') continue;
      if (kind.leaves_out_crash_kernel && is_crash_kernel_ram_disk(name)) continue;
      if (std::string why; !path_can_be_stored(name, &why)) {
        discovery.unlistable.push_back({std::move(name), std::move(why), kind.file_class});
        continue;
      }
      discovery.files.push_back({std::move(name), kind.file_class});
    }
  }
  discovery.complete = discovery.failure.empty();
  return discovery;
}
