// Runs the outside programs of the tool. A program that receives a path is
// started directly from an argument vector (found on kProgramSearchPath), so the path
// reaches it unchanged as one argument and can never run a command; only the
// fixed command texts without outside input go through /bin/sh.
// Standard output is read through a pipe; how the program ended is kept, so
// a caller can tell a program that failed from one that found nothing.
#pragma once

#include <string>
#include <vector>

struct ProgramOutput {
  bool started = false;             // false when the program could not be started
  int start_error = 0;              // errno of why not (EMFILE: out of file descriptors)
  std::vector<std::string> lines;   // output lines without their line ends
  std::string errors;               // its error output, with ErrorOutput::kCapture
  int wait_status = -1;             // as waitpid gave it; -1 when not started
  int read_error = 0;               // errno of a failed read of its output, else 0
  bool timed_out = false;           // killed, with its process group, when its time bound passed
  int bound_seconds = 0;            // the time bound it ran under
  bool too_long = false;            // printed more than the caller keeps (the rest was drained unread)
  size_t byte_limit = 0;            // that limit

  // True when the program ran, its output was read whole and it exited with status 0.
  bool succeeded() const;
  // How it ended, in words: "exited with status 1", "was killed by signal 9",
  // "could not be started: <reason>", "did not finish within 60 seconds",
  // "printed more than 4096 bytes"; "" when it succeeded.
  std::string end_description() const;
};

// Where a program's error output goes. A probe's complaints are not the
// administrator's business unless they explain a failure: kCapture keeps
// them (up to a few KiB) for the log line of that failure.
enum class ErrorOutput { kInherit, kDiscard, kCapture };

// The captured error output on one line: line ends become "; ", trailing
// blanks go. What a log entry can hold.
std::string one_line(const std::string& errors);

// How long a program may run and how much of its output is kept. A program
// still running when its time passes is killed with its whole process group
// (each program runs in a group of its own) and counts as failed. A slow disk
// may keep grub-probe waiting for udev for many seconds, so the default is
// generous. Output beyond `max_bytes` (0: no limit) is read and dropped, and
// the run counts as failed: the caller asked for an answer of bounded size.
constexpr int kDefaultProgramSeconds = 60;
struct RunBounds {
  int seconds = 0;       // 0: the default bound
  size_t max_bytes = 0;  // of kept standard output, line ends included
};

// The directories a program is looked for in, whatever PATH the caller had:
// the tool runs as root, often from a package manager's hook, and must not
// start whatever an inherited PATH names first. Programs also get this as
// their PATH. The rest of the environment (the TPM's TCTI) is passed on.
inline constexpr const char kProgramSearchPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The full path of `name` in kProgramSearchPath (an executable regular
// file), or "" when there is none. A name holding "/" is taken as it is.
std::string find_program(const std::string& name);

// Starts argv[0] (looked for by find_program) with `argv`, reads its standard output
// until it ends and keeps at most `max_lines` lines (0 keeps all). Standard
// output is flushed first so the user's lines stay in order. `terminator`
// ends a line: '\0' reads the records of a program that ends each name with
// NUL (find -print0), so a name holding a line end stays whole.
ProgramOutput run_program(const std::vector<std::string>& argv, ErrorOutput errors,
                          size_t max_lines = 0, char terminator = '\n', RunBounds bounds = {});

// Runs a fixed command text through /bin/sh -c; never pass outside input.
ProgramOutput run_shell_command(const char* command, size_t max_lines = 0,
                                ErrorOutput errors = ErrorOutput::kInherit, char terminator = '\n');

// Number of programs started by this process so far (shell commands count once).
unsigned long programs_started();

// Kills the process groups of every program still running and starts no
// further one: for a process that gives up on its work and exits at once,
// so that nothing it started outlives it. Safe to call from any thread.
void kill_running_programs();

// Makes SIGTERM, SIGINT and SIGHUP (those not ignored when the process
// began) end the programs this process started too, and then the process,
// as the signal would have: each program runs in its own process group, so
// neither Ctrl-C nor timeout(1) nor a service manager's SIGTERM reaches it
// otherwise, and a hanging GRUB probe would live on under PID 1. Call it at
// the start of main, before any thread begins (threads inherit the blocked
// signals, which one thread of its own waits for).
void end_programs_with_the_process();

// Tests only: the default time bound of a run, in seconds (0 restores it).
void set_default_program_seconds_for_testing(int seconds);
