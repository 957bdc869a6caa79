#include "commands/pre_start.h"

#include "bootpath/grub_tools.h"
#include "tpm/nv_store.h"

int before_start_proc() {
  if (testing_tpm_chip() == 0) tpm_chip_exist = 1;
  else report_unanswering_tpm();
  return set_command();
}
