// The verdict on a run, from the reports of its reading passes alone: which
// status each digest gets, whether a change was seen, and which cause a
// failed read leaves. No file system: a row a situation.
#include <gtest/gtest.h>

#include "digest/both_digests.h"

namespace {

constexpr std::uint64_t SUM = 0x1234, OTHER_SUM = 0x5678;

PassReport read_whole(std::uint64_t sum = SUM, std::uint64_t bytes = 3) {
  return PassReport{3, bytes, sum, 3, OsCause::NONE};
}
PassReport failed(std::int64_t status, OsCause cause = OsCause::NONE, std::int64_t probed = 3) {
  return PassReport{status, 0, 0, probed, cause};
}

struct Row {
  const char* what;
  RunReports reports;
  RunVerdict verdict;
};

// A run where everything agrees, changed by each row.
RunReports agreeing() {
  return RunReports{read_whole(), true, read_whole(), true, true, read_whole()};
}

RunReports with(RunReports r, void (*change)(RunReports&)) {
  change(r);
  return r;
}

TEST(Verdict, EachSituationGetsItsStatuses) {
  constexpr OsCause NONE = OsCause::NONE, IO = OsCause::IO;
  const Row rows[] = {
      {"everything agrees", agreeing(), {3, 3, false, NONE, -1}},
      {"no re-read, the passes agree",
       with(agreeing(), [](RunReports& r) { r.reread_ran = false; }),
       {3, 3, false, NONE, -1}},
      // The SHA-1 stage.
      {"the SHA-1 pass failed a read",
       with(agreeing(), [](RunReports& r) { r.sha1 = failed(DIGEST_FILE_ERROR, IO); }),
       {DIGEST_FILE_ERROR, 0, false, IO, 3}},
      {"an empty file",
       with(agreeing(), [](RunReports& r) { r.sha1 = failed(DIGEST_FILE_ERROR, NONE, 0); }),
       {DIGEST_FILE_ERROR, 0, false, NONE, 0}},
      {"too large for SHA-1",
       with(agreeing(), [](RunReports& r) { r.sha1 = failed(DIGEST_TOO_LARGE); }),
       {DIGEST_TOO_LARGE, 0, false, NONE, -1}},
      {"too large for SHA-1, and the identity moved",
       with(agreeing(),
            [](RunReports& r) {
              r.sha1 = failed(DIGEST_TOO_LARGE);
              r.sha1_identity_kept = false;
            }),
       {DIGEST_TOO_LARGE, 0, false, NONE, -1}},
      {"the identity moved during the SHA-1 pass",
       with(agreeing(), [](RunReports& r) { r.sha1_identity_kept = false; }),
       {DIGEST_FILE_ERROR, 0, true, NONE, -1}},
      {"the SHA-1 pass failed a read as the identity moved",
       with(agreeing(),
            [](RunReports& r) {
              r.sha1 = failed(DIGEST_FILE_ERROR, IO);
              r.sha1_identity_kept = false;
            }),
       {DIGEST_FILE_ERROR, 0, true, NONE, -1}},
      // The SHA-512 stage.
      {"the passes brought other bytes",
       with(agreeing(), [](RunReports& r) { r.sha512 = read_whole(OTHER_SUM); }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the passes brought other byte counts",
       with(agreeing(), [](RunReports& r) { r.sha512 = read_whole(SUM, 4); }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the re-read brought other bytes",
       with(agreeing(), [](RunReports& r) { r.reread = read_whole(OTHER_SUM); }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the re-read brought fewer bytes",
       with(agreeing(), [](RunReports& r) { r.reread = read_whole(SUM, 2); }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the re-read could not open the file",
       with(agreeing(), [](RunReports& r) { r.reread = failed(DIGEST_FILE_ERROR); }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the re-read failed a read: its own cause, not the pass's",
       with(agreeing(),
            [](RunReports& r) {
              r.reread = failed(DIGEST_FILE_ERROR, IO);
              r.sha512.read_cause = OsCause::PERMISSION;
            }),
       {3, DIGEST_FILE_ERROR, false, IO, 3}},
      {"the identity moved by the end",
       with(agreeing(), [](RunReports& r) { r.end_identity_kept = false; }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"the SHA-512 pass failed a read",
       with(agreeing(), [](RunReports& r) { r.sha512 = failed(DIGEST_FILE_ERROR, IO); }),
       {3, DIGEST_FILE_ERROR, false, IO, 3}},
      {"the SHA-512 pass failed a read as the identity moved",
       with(agreeing(),
            [](RunReports& r) {
              r.sha512 = failed(DIGEST_FILE_ERROR, IO);
              r.end_identity_kept = false;
            }),
       {3, DIGEST_FILE_ERROR, true, NONE, -1}},
      {"too large for SHA-512 (grown between the probes)",
       with(agreeing(), [](RunReports& r) { r.sha512 = failed(DIGEST_TOO_LARGE); }),
       {3, DIGEST_TOO_LARGE, false, NONE, -1}},
      {"too large for SHA-512, and the identity moved",
       with(agreeing(),
            [](RunReports& r) {
              r.sha512 = failed(DIGEST_TOO_LARGE);
              r.end_identity_kept = false;
            }),
       {3, DIGEST_TOO_LARGE, false, NONE, -1}},
      {"a logic error in the SHA-512 framing",
       with(agreeing(), [](RunReports& r) { r.sha512 = failed(DIGEST_LOGIC_ERROR); }),
       {3, DIGEST_LOGIC_ERROR, false, NONE, -1}},
  };
  for (const Row& row : rows) {
    const RunVerdict v = judge_run(row.reports);
    EXPECT_EQ(v.sha1_status, row.verdict.sha1_status) << row.what;
    EXPECT_EQ(v.sha512_status, row.verdict.sha512_status) << row.what;
    EXPECT_EQ(v.changed, row.verdict.changed) << row.what;
    EXPECT_EQ(v.read_cause, row.verdict.read_cause) << row.what;
    EXPECT_EQ(v.probed_size, row.verdict.probed_size) << row.what;
  }
}

}  // namespace
