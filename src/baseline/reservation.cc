#include "baseline/reservation.h"

#include <sys/stat.h>

#include "baseline/document.h"
#include "support/durable_file.h"
#include "support/user_diagnostics.h"

namespace {

constexpr size_t kReservationPerEntry = 384;

size_t entry_count() { return file_list != nullptr ? json_object_array_length(file_list) : 0; }

}  // namespace

size_t reservation_size(size_t entries) { return kReservationPerEntry * (entries + 8); }

namespace {

// The reservation's size on disk; -1 when it is missing or not a regular file.
long long reservation_on_disk() {
  struct stat info {};
  if (lstat(kBootLogPath, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<long long>(info.st_size);
}

}  // namespace

bool size_boot_log(size_t entries, std::string* why_not) {
  std::string reservation(reservation_size(entries), '#');
  if (!replace_file(kBootLogPath, reservation, why_not)) {
    *why_not = std::string("the boot log reservation ") + kBootLogPath + " could not be written: " + *why_not;
    return false;
  }
  return true;
}

bool grow_boot_log_for(size_t entries) {
  long long size = reservation_on_disk();
  if (size >= 0 && static_cast<size_t>(size) >= reservation_size(entries)) return true;
  std::string why_not;
  if (size_boot_log(entries, &why_not)) return true;
  tell_user("grow_boot_log", why_not + "; nothing was changed");
  return false;
}

void resize_boot_log_after_save(const char* source) {
  std::string error;
  if (!size_boot_log(entry_count(), &error))
    tell_user(source, error + "; the baseline was saved, and the next command resizes the reservation");
}

void heal_boot_log() {
  size_t entries = entry_count();
  long long size = reservation_on_disk();
  if (size >= 0 && static_cast<size_t>(size) == reservation_size(entries)) return;
  std::string error;
  std::string was = size < 0 ? "missing" : std::to_string(size) + " bytes";
  // A command killed between the document and the reservation leaves it sized for the other baseline.
  if (!size_boot_log(entries, &error)) {
    tell_user("heal_boot_log", error);
    return;
  }
  tell_user("heal_boot_log", std::string("boot log reservation ") + kBootLogPath + " was " + was +
                                 ", out of step with the baseline; rewritten for its " + std::to_string(entries) +
                                 " entries");
}

