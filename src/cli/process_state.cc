#include "cli/process_state.h"

#include "baseline/document.h"
#include "bootpath/grub_tools.h"
#include "bootpath/translation.h"
#include "support/tool_log.h"
#include "tpm/nv_store.h"

void reset_process_state() {
  release_json();
  reset_tool_log();
  reset_grub_tools();
  reset_manufacturer_query();
  tpm_chip_exist = 0;
  reset_tpm_silence();
}
