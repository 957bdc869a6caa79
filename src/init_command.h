// Initialisation ("-i"): discovers the boot files under /boot, measures each
// into a new baseline, saves it, then rewrites the path list to exactly the
// measured files, sizes the boot log reservation and, with a TPM, fills both
// NV indices. Nothing on disk changes before the new baseline is measured.
// Also the pre-start step that every measurement command runs first.
#pragma once

#include <cstddef>
#include <string>

// TPM probe (sets tpm_chip_exist; a TPM that is there but does not answer is
// reported), then GRUB tool selection; returns the latter's result: the
// probe's outcome never fails the step.
int before_start_proc();

int zotrust_init();

// Discovers the boot files and keeps them, in order, for create_measurefile;
// a name holding a line end is left out and told. -1 (told) when discovery
// failed or found nothing: then nothing may replace the baseline.
int create_measurefiles_list();

// Measures every discovered file into a new document, saves it, then
// rewrites the path list; -1 when either cannot be written.
int create_measurefile();

// Writes "/boot/.vemolog": 384 * (entries + 8) bytes of '#', replaced
// atomically; -1 (told) when it cannot be written.
int fill_grub_log();

// The boot log reservation holds 384 bytes for every entry of the baseline
// and 8 x 384 more, whenever the number of entries changes. It grows before
// a document with more entries is saved, so a baseline is never saved with
// a reservation too small for it, and shrinks after one with fewer was saved.

// The size the reservation must have for `entries`: 384 * (entries + 8).
size_t reservation_size(size_t entries);
// Writes the reservation for `entries`; -1 with `error` in words.
int size_boot_log(size_t entries, std::string* error);
// Grows the reservation to hold `entries` unless it already does; -1 (told,
// nothing changed) when it cannot be written.
int grow_boot_log_for(size_t entries);
// After a save: sizes the reservation for the loaded document; a failure is
// told with what was committed (the next command heals it).
void resize_boot_log_after_save(const char* source);
// Under the baseline lock with the document loaded: rewrites a reservation
// that is missing or not sized for the entries (a killed command), and tells it.
void heal_boot_log();
