#include "support/user_diagnostics.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "support/tool_log.h"
#include "support/standard_error.h"

namespace {

constexpr size_t kPathsNamed = 3;

struct GatheredCause {
  std::string cause;
  std::string advice;
  std::vector<std::string> first_paths;
  size_t count = 0;
};

std::mutex diagnostics_mutex;
std::vector<GatheredCause> gathered;


std::string describe(const GatheredCause& gathered_cause) {
  std::string line = gathered_cause.cause;
  if (gathered_cause.count == 1) {
    line += ": " + gathered_cause.first_paths[0];
  } else {
    line += " (" + std::to_string(gathered_cause.count) + " files: ";
    for (size_t i = 0; i < gathered_cause.first_paths.size(); ++i)
      line += (i ? ", " : "") + gathered_cause.first_paths[i];
    if (gathered_cause.count > gathered_cause.first_paths.size()) line += ", ...";
    line += ")";
  }
  if (!gathered_cause.advice.empty()) line += "; " + gathered_cause.advice;
  return line;
}

}  // namespace

void tell_user(const char* source, const std::string& message) {
  writeLog(1, "main:%s() %s\n", source, message.c_str());
  std::lock_guard<std::mutex> guard(diagnostics_mutex);
  warn_user(message);
}

void tell_user_about_file(const char* source, const std::string& cause, const std::string& path,
                          const std::string& detail, const std::string& advice) {
  writeLog(1, "main:%s() %s: %s%s%s\n", source, path.c_str(), cause.c_str(), detail.empty() ? "" : ": ",
           detail.c_str());
  std::lock_guard<std::mutex> guard(diagnostics_mutex);
  for (auto& known : gathered) {
    if (known.cause != cause) continue;
    if (known.first_paths.size() < kPathsNamed) known.first_paths.push_back(path);
    ++known.count;
    return;
  }
  gathered.push_back({cause, advice, {path}, 1});
}

void flush_user_diagnostics() {
  std::lock_guard<std::mutex> guard(diagnostics_mutex);
  for (const auto& gathered_cause : gathered) warn_user(describe(gathered_cause));
  gathered.clear();
}
