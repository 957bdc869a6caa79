#include "support/standard_error.h"

#include <cstdio>
#include <mutex>

#include "support/visible_text.h"

namespace {
std::mutex standard_error_mutex;
}  // namespace

void warn_user(const std::string& message) {
  std::lock_guard<std::mutex> guard(standard_error_mutex);
  fflush(stdout);
  fprintf(stderr, "zovemo_config: %s\n", escape_control_characters(message).c_str());
  fflush(stderr);
}
