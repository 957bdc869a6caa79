// The command-line front end: one option selects one command; its failure
// notice follows the command's own output. Exit status 255 only for an
// unusable first option, 0 otherwise (also after a failed command).
#pragma once

// Prints the usage text.
void help();

// Parses argv, runs one command and returns the process exit status.
int run_command_line(int argc, char** argv);
