#include "support/standard_error.h"

#include <cstdio>
#include <mutex>

#include "support/visible_text.h"

namespace {
std::mutex standard_error_mutex;
const char* program_name = "zovemo_config";
}  // namespace

void set_user_program_name(const char* name) { program_name = name; }

void warn_user(const std::string& message) {
  std::lock_guard<std::mutex> guard(standard_error_mutex);
  fflush(stdout);
  fprintf(stderr, "%s: %s\n", program_name, escape_control_characters(message).c_str());
  fflush(stderr);
}

void warn_user_without_memory(const char* message, const char* detail) noexcept {
  std::lock_guard<std::mutex> guard(standard_error_mutex);
  fflush(stdout);
  fprintf(stderr, "%s: %s%s\n", program_name, message, detail);
  fflush(stderr);
}
