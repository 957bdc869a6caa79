// Initialisation ("-i"): discovers the boot files under /boot, measures each
// into a new baseline, rewrites the path list to exactly the measured files,
// sizes the boot log reservation and, with a TPM, fills both NV indices.
// Also the pre-start step that every measurement command runs first.
#pragma once

// TPM probe (sets tpm_chip_exist), then GRUB tool selection; returns the
// latter's result: the probe's outcome never fails the step.
int before_start_proc();

int zotrust_init();

// Runs the four discovery commands into the path list; -1 (logged) when the
// path list cannot be written.
int create_measurefiles_list();

// Measures every listed file into a new document, saves it and rewrites the
// path list; -1 when the list cannot be read or a file cannot be written.
int create_measurefile();

// Writes "/boot/.vemolog": 384 * (entries + 8) bytes of '#'.
int fill_grub_log();
