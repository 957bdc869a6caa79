#include "support/user_diagnostics.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include "support/tool_log.h"
#include "support/standard_error.h"

namespace {


struct GatheredCause {
  std::string cause;
  std::string advice;
  std::vector<std::string> first_paths;
  size_t count = 0;
};

std::mutex diagnostics_mutex;
std::vector<GatheredCause> gathered;


std::string describe(const GatheredCause& gathered_cause) {
  return gathered_cause_line(gathered_cause.cause, gathered_cause.count, gathered_cause.first_paths,
                             gathered_cause.advice);
}

}  // namespace

std::string gathered_cause_line(const std::string& cause, size_t count, const std::vector<std::string>& first_paths,
                                const std::string& advice) {
  std::string line = cause;
  if (count == 1) {
    line += ": " + first_paths[0];
  } else {
    line += " (" + std::to_string(count) + " files: ";
    for (size_t i = 0; i < first_paths.size(); ++i) line += (i ? ", " : "") + first_paths[i];
    if (count > first_paths.size()) line += ", ...";
    line += ")";
  }
  if (!advice.empty()) line += "; " + advice;
  return line;
}

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
    if (known.first_paths.size() < kGatheredPathsNamed) known.first_paths.push_back(path);
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
