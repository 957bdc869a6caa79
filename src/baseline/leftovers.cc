#include "baseline/leftovers.h"

#include "baseline/files.h"
#include "support/durable_file.h"
#include "support/tool_log.h"

namespace {
// The baseline's files with the scratch name each one's replacement uses.
struct ReplacedFile {
  const char* path;
  const char* scratch;
};
constexpr ReplacedFile kReplacedFiles[] = {
    {kBaselinePath, nullptr}, {kPathListPath, kPathListScratch}, {kBootLogPath, nullptr}};
}  // namespace

std::vector<std::string> leftover_files() {
  std::vector<std::string> found;
  for (const auto& file : kReplacedFiles) {
    auto more = find_leftover_temporaries(file.path, file.scratch);
    found.insert(found.end(), more.begin(), more.end());
  }
  return found;
}

void remove_leftovers() {
  for (const auto& file : kReplacedFiles) {
    for (const auto& name : remove_leftover_temporaries(file.path, file.scratch))
      writeLog(0, "main:remove_leftovers() removed \"%s\", left by an interrupted run\n", name.c_str());
  }
}
