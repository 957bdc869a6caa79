// The doors to the outside world, in-process: atomic replacement, program
// runs and what the administrator is told.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "harness/sandbox.h"
#include "support/durable_file.h"
#include "support/platform_programs.h"
#include "support/user_diagnostics.h"

namespace {

namespace fs = std::filesystem;
using sandbox::read_file;
using sandbox::write_file;

// Neither a link at the target nor one at the fixed scratch name is written
// through; nothing is left beside the target.
TEST(DurableFile, ReplacementNeverWritesThroughALinkAndLeavesNoTemporary) {
  write_file("/boot/victim", "victim");
  fs::create_symlink("/boot/victim", "/boot/target");
  std::string error;
  ASSERT_TRUE(replace_file("/boot/target", "new", &error)) << error;
  fs::create_symlink("/boot/victim", "/boot/scratch");
  ASSERT_TRUE(replace_file("/boot/target", "newer", &error, "/boot/scratch")) << error;
  EXPECT_EQ(read_file("/boot/victim"), "victim");
  EXPECT_FALSE(fs::is_symlink("/boot/target"));
  EXPECT_EQ(read_file("/boot/target"), "newer");
  EXPECT_TRUE(find_leftover_temporaries("/boot/target", "/boot/scratch").empty());
}

TEST(PlatformPrograms, HowAProgramEndedIsKeptWithWhatItPrinted) {
  struct {
    const char* script;
    char terminator;
    size_t max_bytes;
    std::vector<std::string> lines;
    const char* ended;  // "" for success
  } cases[] = {
      {"printf 'a b\\n\\nc'", '\n', 0, {"a b", "", "c"}, ""},
      {"printf 'x\\ny\\0z\\0'; exit 3", '\0', 0, {"x\ny", "z"}, "exited with status 3"},
      {"kill -9 $$", '\n', 0, {}, "was killed by signal 9"},
      {"printf '%2000s' x", '\n', 1024, {}, "printed more than 1024 bytes"},
  };
  for (const auto& c : cases) {
    ProgramOutput output = run_program({"sh", "-c", c.script}, ErrorOutput::kDiscard, 0, c.terminator, {0, c.max_bytes});
    EXPECT_EQ(output.end_description(), c.ended) << c.script;
    EXPECT_EQ(output.succeeded(), std::string(c.ended).empty()) << c.script;
    EXPECT_EQ(output.lines, c.lines) << c.script;
  }
  EXPECT_EQ(run_program({"no-such-program-here"}, ErrorOutput::kDiscard).end_description(),
            "could not be started: No such file or directory");
}

// A cause met by many files: each logged, one line on standard error.
TEST(UserDiagnostics, ACauseMetByManyFilesIsToldOnceWithItsFirstFiles) {
  testing::internal::CaptureStderr();
  for (int i = 1; i <= 5; ++i)
    tell_user_about_file("step", "no boot path", "/boot/f" + std::to_string(i), "", "run this");
  tell_user_about_file("step", "another cause", "/boot/g");
  flush_user_diagnostics();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "zovemo_config: no boot path (5 files: /boot/f1, /boot/f2, /boot/f3, ...); run this\n"
            "zovemo_config: another cause: /boot/g\n");
  EXPECT_EQ(sandbox::log_count("main:step() /boot/f"), 5u);
}

}  // namespace
