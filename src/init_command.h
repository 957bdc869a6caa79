// Initialisation ("-i"): discovers the boot files under /boot, measures each
// into a new baseline, saves it, then rewrites the path list to exactly the
// measured files, sizes the boot log reservation and, with a TPM, fills both
// NV indices. Nothing on disk changes before the new baseline is measured.
// Also the pre-start step that every measurement command runs first.
#pragma once

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

// Writes "/boot/.vemolog": 384 * (entries + 8) bytes of '#'.
int fill_grub_log();
