// The boot log reservation "/boot/.vemolog": room the boot writes its
// measurement log into, so it must never be too small for the baseline.
#pragma once

#include <cstddef>
#include <string>

// The boot log reservation holds 384 bytes for every entry of the baseline
// and 8 x 384 more, whenever the number of entries changes. It grows before
// a document with more entries is saved, so a baseline is never saved with
// a reservation too small for it, and shrinks after one with fewer was saved.

// The size the reservation must have for `entries`: 384 * (entries + 8).
size_t reservation_size(size_t entries);
// Writes the reservation for `entries`; false with the reason in `why_not`.
bool size_boot_log(size_t entries, std::string* why_not);
// Grows the reservation to hold `entries` unless it already does; false
// (told, nothing changed) when it cannot be written.
bool grow_boot_log_for(size_t entries);
// After a save: sizes the reservation for the loaded document; a failure is
// told with what was committed (the next command heals it).
void resize_boot_log_after_save(const char* source);
// Under the baseline lock with the document loaded: rewrites a reservation
// that is missing or not sized for the entries (a killed command), and tells it.
void heal_boot_log();
