// Which pair of GRUB tools this machine has: "grub2-probe"/"grub2-mkrelpath"
// when the first entry that "ls -d /boot/grub*" lists is /boot/grub2...,
// "grub-probe"/"grub-mkrelpath" otherwise. Chosen once per process.
#pragma once

extern char GRUB_PROBE[32];
extern char GRUB_MKRELPATH[32];

// 0 when the pair is selected (now or before); -1 (logged) when no GRUB
// directory is found; both names then stay empty.
int set_command();

// Forgets the selection; only reset_process_state() (cli/process_state.h) and tests need it.
void reset_grub_tools();
