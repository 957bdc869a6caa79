// Initialisation ("-i"): discovers the boot files under /boot, measures each
// into a new baseline, saves it, then rewrites the path list to exactly the
// measured files, sizes the boot log reservation and, with a TPM, fills both
// NV indices. Nothing on disk changes before the new baseline is measured.
#pragma once

#include <cstddef>
#include <string>

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

