// The schedules of the reading passes, and the verdict on what they saw.
#include "digest/both_digests.h"

#include <atomic>
#include <cstdint>

#include "digest/checksum.h"
#include "digest/compress_dispatch.h"
#include "digest/file_source.h"
#include "digest/framing.h"
#include "digest/one_pass.h"
#include "digest/sha1.h"
#include "digest/sha512.h"

RunVerdict judge_run(const RunReports& r) {
  RunVerdict v{static_cast<DigestStatus>(r.sha1.status), 0, false, OsCause::NONE, -1};
  // The SHA-1 stage. A change seen is named as one, whether it or the
  // framing's own checks ended the pass; a pass that failed otherwise keeps
  // what it met.
  const std::int64_t s1 = r.sha1.status;
  if ((s1 >= 0 || s1 == DIGEST_FILE_ERROR) && !r.sha1_identity_kept) {
    v.sha1_status = DIGEST_FILE_ERROR;
    v.changed = true;
  } else if (s1 == DIGEST_FILE_ERROR) {
    v.read_cause = r.sha1.read_cause;
    v.probed_size = r.sha1.probed;
  }
  if (v.sha1_status < 0) return v;  // the SHA-1 stage ends the run

  // The re-read agrees when it brought the SHA-1 pass's bytes. One that
  // failed a read is no disagreement: it is said as what it is. One that
  // could not even open the file cannot show the content, so it disagrees.
  const bool reread_read = r.reread.status >= 0;
  const OsCause reread_cause = r.reread_ran && !reread_read ? r.reread.read_cause : OsCause::NONE;
  const bool reread_agrees =
      !r.reread_ran || (reread_read ? r.reread.sum == r.sha1.sum && r.reread.bytes == r.sha1.bytes
                                    : reread_cause != OsCause::NONE);

  const std::int64_t s5 = r.sha512.status;
  const bool passes_agree = r.sha512.sum == r.sha1.sum && r.sha512.bytes == r.sha1.bytes;
  if ((s5 >= 0 || s5 == DIGEST_FILE_ERROR) &&
      (!r.end_identity_kept || (s5 >= 0 && (!reread_agrees || !passes_agree)))) {
    v.sha512_status = DIGEST_FILE_ERROR;
    v.changed = true;
  } else if (s5 >= 0 && reread_cause != OsCause::NONE) {
    v.sha512_status = DIGEST_FILE_ERROR;
    v.read_cause = reread_cause;
    v.probed_size = r.sha512.probed;
  } else {
    v.sha512_status = s5;
    if (s5 == DIGEST_FILE_ERROR) {
      v.read_cause = r.sha512.read_cause;
      v.probed_size = r.sha512.probed;
    }
  }
  return v;
}

namespace {

// A reading pass with no digest: the checksum and the byte count of the
// whole file as it reads now. Its status is the byte count, or
// DIGEST_FILE_ERROR when the file cannot be opened (no cause) or read to its
// end (the cause of the read that failed).
PassReport checksum_pass(const FileSystem& fs, const char* path) {
  PassReport report = empty_report();
  Stream* src = open_stream(fs, path);
  if (src == nullptr) {
    report.status = DIGEST_FILE_ERROR;
    return report;
  }
  const StreamMethods& m = *src->methods;
  ContentSum acc;
  content_sum_start(acc, 0);
  std::uint8_t chunk[4096];
  for (;;) {
    // Take what the stream already holds in place; read to refill it.
    if (m.borrow != nullptr) {
      std::size_t got = 0;
      const std::uint8_t* run = m.borrow(src, 1, SIZE_MAX, &got);
      if (run != nullptr && got > 0) {
        content_sum_add(acc, run, got);
        continue;
      }
    }
    const std::size_t n = m.read(src, chunk, sizeof chunk);
    content_sum_add(acc, chunk, n);
    if (n < sizeof chunk) {
      report.read_cause = short_read_cause(src);  // a short read before the end is a read error
      break;
    }
  }
  m.close(src);
  report.sum = content_sum_value(acc);
  report.bytes = acc.total;
  report.status =
      report.read_cause == OsCause::NONE ? static_cast<std::int64_t>(acc.total) : DIGEST_FILE_ERROR;
  return report;
}

struct Sha512Job {
  const FileSystem* fs;
  const char* path;
  const std::atomic<bool>* abandon;
  Sha512Digest words;
  PassReport report;
};

void run_sha512_job(void* arg) {
  auto* job = static_cast<Sha512Job*>(arg);
  digest_framed(*job->fs, job->path, SHA512_MAX_BYTES, SHA512_H0, sha512_active_path().blocks,
                job->words, &job->report, job->abandon);
}

// True when the passes should run side by side: on two or more processors,
// with a file system that allows it for this file, unless `schedule` says.
bool wants_side_by_side(const FileSystem& fs, const char* path, DigestSchedule schedule) {
  if (schedule != DigestSchedule::automatic) return schedule == DigestSchedule::parallel;
  return fs.concurrent && os_cpu_count() >= 2 &&
         (fs.overlapping_reads_safe == nullptr || fs.overlapping_reads_safe(path));
}

// The digests the verdict lets stand, with it, in `out`.
void settle(const RunVerdict& v, const Sha1Digest& sha1, const Sha512Digest& sha512,
            BothDigests& out) {
  out.sha1_status = v.sha1_status;
  out.sha512_status = v.sha512_status;
  out.changed = v.changed;
  out.read_cause = v.read_cause;
  out.probed_size = v.probed_size;
  if (v.sha1_status > 0) out.sha1 = sha1;
  if (v.sha512_status > 0) out.sha512 = sha512;
}

// A pass for each digest, side by side; false when no thread could be
// started (nothing has been read then).
bool side_by_side(const FileSystem& fs, const char* path, const FileIdentity& identity,
                  BothDigests& out) {
  std::atomic<bool> abandon{false};
  Sha512Job job{&fs, path, &abandon, {}, empty_report()};
  OsThread worker{};
  if (!os_thread_start(&worker, run_sha512_job, &job)) return false;

  RunReports r{};
  Sha1Digest sha1{};
  digest_framed(fs, path, SHA1_MAX_BYTES, SHA1_H0, sha1_active_path().blocks, sha1, &r.sha1);
  r.sha1_identity_kept = file_unchanged(fs, path, identity);
  if (const RunVerdict early = judge_run(r); early.sha1_status < 0) {
    // The SHA-1 stage ends the run; the SHA-512 pass stops at its next step.
    abandon.store(true, std::memory_order_relaxed);
    os_thread_join(worker);
    settle(early, sha1, job.words, out);
    return true;
  }
  // The passes overlapped in time, so their agreement alone could come from
  // a file written under both readers alike. A pass begun after the SHA-1
  // pass ended, agreeing with it, shows the content at one moment.
  r.reread = checksum_pass(fs, path);
  r.reread_ran = true;
  os_thread_join(worker);
  r.sha512 = job.report;
  r.end_identity_kept = file_unchanged(fs, path, identity);
  settle(judge_run(r), sha1, job.words, out);
  return true;
}

// One pass for both digests, then a checksum-only re-read that must bring
// the same bytes.
void one_pass(const FileSystem& fs, const char* path, const FileIdentity& identity,
              BothDigests& out) {
  OnePass pass{};
  read_both_once(fs, path, &pass);
  RunReports r{};
  r.sha1 = pass.report;
  r.sha1.status = pass.sha1_status;
  r.sha1_identity_kept = file_unchanged(fs, path, identity);
  if (judge_run(r).sha1_status >= 0) {
    r.sha512 = pass.report;
    r.sha512.status = pass.sha512_status;
    r.reread = checksum_pass(fs, path);
    r.reread_ran = true;
    r.end_identity_kept = file_unchanged(fs, path, identity);
  }
  settle(judge_run(r), pass.sha1, pass.sha512, out);
}

}  // namespace

void digest_both(const char* path, const FileIdentity& identity, BothDigests& out,
                 DigestSchedule schedule) {
  // The file system is read once, here.
  const FileSystem& fs = file_system();
  out = BothDigests{0, 0, out.sha1, out.sha512, false, OsCause::NONE, -1};
  if (wants_side_by_side(fs, path, schedule) && side_by_side(fs, path, identity, out)) return;
  one_pass(fs, path, identity, out);
}
