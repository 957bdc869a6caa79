// How each program of the tool begins: the first lines of main, before any
// thread starts and before anything is read or written.
#pragma once

// Whether the program keeps a tool log; the drift report promises to write
// nothing, the tool log included.
enum class ToolLogUse { kWrites, kKeepsClosed };

// Line-buffers standard output, names the program on standard error, keeps
// the tool log closed when asked, makes the signals that end the process end
// the programs it starts, narrows no file of root's below what the tool
// means, ignores a TZ that names no zone file (and says so), and puts the
// process in the one-file-at-a-time mode when asked.
void start_program(const char* name, ToolLogUse log, bool one_file_at_a_time_build);

// The mode of the builds for comparisons only (zovemo_config_sequential,
// zovemo_status_sequential): one file at a time on the calling thread, and
// every file asked of the GRUB tools (no boot path reuse), so that both
// builds give the same output and the gain of the pool and the reuse can be
// measured. Set by start_program; false otherwise.
extern bool one_file_at_a_time;

// True when the main being compiled is such a build: its file is compiled
// with ZOVEMO_ONE_FILE_AT_A_TIME. Its main passes it to start_program.
#ifdef ZOVEMO_ONE_FILE_AT_A_TIME
constexpr bool kOneFileAtATimeBuild = true;
#else
constexpr bool kOneFileAtATimeBuild = false;
#endif
