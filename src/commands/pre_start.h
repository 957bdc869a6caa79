// The pre-start step that every measurement command (-i, -a, -d, -u) runs
// before it loads the baseline.
#pragma once

// TPM probe (sets tpm_chip_exist; a TPM that is there but does not answer is
// reported), then GRUB tool selection; returns the latter's result: the
// probe's outcome never fails the step.
int before_start_proc();
