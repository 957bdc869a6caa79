// How the tool's functions say that they failed, and why.
//
// The functions of the tool's design (the commands, get_json, save_json,
// measurefile_add, the SM3 and TPM steps, ...) keep their int returns:
// 0 for success and -1 for failure, and what they say is fixed.
//
// Every other function of the project that can fail follows one rule:
//   - it returns bool: true when it did what its name says;
//   - when the caller may have to tell why, the reason comes back in a last
//     parameter `std::string* why_not`: one line of words for the
//     administrator, without the tool's name, never printed by the callee;
//   - a lookup returns the index it found, or -1 for none; a text it found
//     comes back through an out-parameter beside a bool.
// What reaches the administrator then goes through user_diagnostics.h, the
// one path of a failure to standard error and the tool log.
#pragma once
