// The driver run in-process over a scripted file, to reach what a real file
// cannot show on demand: a file that changes between the two digest stages.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "test_util.h"

namespace {

const std::string FATAL = " ***** FATAL ERROR *****\n Algorithm failed\n\n";

// Opens of one run: 1 the driver's readability check, 2 and 3 the probe and
// the one reading pass of both digests, 4 the checksum-only re-read.
enum Open { DRIVER_CHECK = 1, PROBE, READ, REREAD };

// A change made to the file just before one of the opens of a run.
struct FileChange {
  const char* what;
  std::function<void(ScriptedFile&, int)> change;
  std::int32_t status;
  const char* cause;
};

class DriverRun : public ::testing::Test {
 protected:
  ScratchCwd cwd;
  const ScratchDir& dir = cwd.dir();

  std::int32_t run(ScriptedFile& f, std::string& out) {
    ScriptedFsGuard guard(f);
    const std::int32_t status = run_generator_captured("input", out);
    EXPECT_EQ(f.opens - f.failed_opens, f.closes) << "a stream was left open";
    return status;
  }
};

// A file whose times do not move (as on some file systems) changed before
// the re-read: the re-read's bytes decide.
TEST_F(DriverRun, FileChangingBeforeTheRereadEndsTheRun) {
  const FileChange cases[] = {
      {"emptied",
       [](ScriptedFile& f, int i) {
         if (i == REREAD) f.content.clear();
       },
       DIGEST_FILE_ERROR, "File error.\n"},
      {"removed",
       [](ScriptedFile& f, int i) {
         if (i == REREAD) f.fail_open = REREAD;
       },
       DIGEST_FILE_ERROR, "File error.\n"},
      {"grown",
       [](ScriptedFile& f, int i) {
         if (i == REREAD) f.content.push_back('d');
       },
       DIGEST_FILE_ERROR, "File error.\n"},
      {"shrunk",
       [](ScriptedFile& f, int i) {
         if (i == REREAD) f.content.pop_back();
       },
       DIGEST_FILE_ERROR, "File error.\n"},
  };
  for (const auto& c : cases) {
    ScriptedFile f;
    f.content = {'a', 'b', 'c'};
    f.before_open = c.change;
    std::string out;
    EXPECT_EQ(run(f, out), c.status) << c.what;
    EXPECT_EQ(out, ABC_SHA1_LINES + FATAL + c.cause) << c.what;
    EXPECT_TRUE(list_dir(dir.path()).empty()) << c.what << ": no record after a failed digest";
  }
}

TEST_F(DriverRun, FileChangingBeforeTheSha1StageEndsTheRunEarly) {
  const FileChange cases[] = {
      {"emptied",
       [](ScriptedFile& f, int i) {
         if (i == PROBE) f.content.clear();
       },
       DIGEST_FILE_ERROR, "File error.\n"},
      {"grown past the SHA-1 limit",
       [](ScriptedFile& f, int i) {
         if (i == PROBE) f.probe_position = 536870912;
       },
       DIGEST_TOO_LARGE, "File exceeds limit of 512Mb.\n"},
      {"size unknown",
       [](ScriptedFile& f, int i) {
         if (i == PROBE) f.probe_position = -1;
       },
       DIGEST_TOO_LARGE, "File exceeds limit of 512Mb.\n"},
  };
  for (const auto& c : cases) {
    ScriptedFile f;
    f.content = {'a', 'b', 'c'};
    f.before_open = c.change;
    std::string out;
    EXPECT_EQ(run(f, out), c.status) << c.what;
    EXPECT_EQ(out, std::string("\n").append(FATAL).append(c.cause)) << c.what;
    EXPECT_LE(f.opens, READ) << c.what << ": nothing after a failed SHA-1 stage";
  }
}

// A change that the digest routine itself cannot see (same size, growth
// after its reading pass, another file under the name, removal while open)
// still fails the stage it happens in, exactly as a file error.
TEST_F(DriverRun, FileChangedDuringAStageFailsThatStage) {
  struct Change {
    const char* what;
    void (*apply)(ScriptedFile&);
  };
  const Change changes[] = {
      {"overwritten in place",
       [](ScriptedFile& f) {
         f.content[0] = 'x';
         ++f.version;
       }},
      {"grown by a whole block",
       [](ScriptedFile& f) {
         f.content.resize(f.content.size() + 128, 'd');
         ++f.version;
       }},
      {"replaced by a copy", [](ScriptedFile& f) { ++f.index; }},
      {"removed", [](ScriptedFile& f) { f.removed = true; }},
  };
  struct Stage {
    const char* name;
    int open;                  // the change comes as this open succeeds
    const std::string before;  // what the run printed before the failure
  };
  const Stage stages[] = {{"SHA-1", READ, "\n"}, {"SHA-512", REREAD, ABC_SHA1_LINES}};
  for (const Stage& stage : stages) {
    for (const Change& change : changes) {
      ScriptedFile f;
      f.content = {'a', 'b', 'c'};
      f.before_open = [&](ScriptedFile& file, int i) {
        if (i == stage.open) change.apply(file);
      };
      // The reading pass takes only the three bytes the probe promised.
      f.read_limit = [](int) { return std::optional<std::size_t>(3); };
      std::string out;
      EXPECT_EQ(run(f, out), DIGEST_FILE_ERROR) << stage.name << ", " << change.what;
      EXPECT_EQ(out, stage.before + FATAL + "File error.\n") << stage.name << ", " << change.what;
      EXPECT_TRUE(list_dir(dir.path()).empty()) << stage.name << ", " << change.what;
      if (stage.open == READ) {
        EXPECT_EQ(f.opens, READ) << change.what << ": no re-read";
      }
    }
  }
}

TEST_F(DriverRun, UnchangedFileRunsEveryStage) {
  ScriptedFile f;
  f.content = {'a', 'b', 'c'};
  std::string out;
  EXPECT_EQ(run(f, out), 3);
  EXPECT_EQ(out.substr(0, ABC_SHA1_LINES.size()), ABC_SHA1_LINES);
  EXPECT_EQ(f.opens, REREAD);
  EXPECT_TRUE(file_exists(dir.file("A9993E36.zmr")));
}

}  // namespace
