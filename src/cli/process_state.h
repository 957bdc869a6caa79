// Tests only: returns every process-wide variable and cache of the tool to
// its state at the start of a run, so that each test begins as a new run of
// the tool would. The one list of what a run keeps in memory; a module that
// adds such state adds its reset here.
#pragma once

void reset_process_state();
