// Throughput of the compression paths and of the file digests.
//
//   sha1/<path>, sha512/<path>  every path built in, over a 16 KiB message
//                               (a path this CPU cannot run is skipped)
//   sha1/dispatch, sha512/dispatch  the path the file digests use
//   sha1_file, sha512_file      the whole routine over a cached 64 MiB file
//   both/<path>, both/dispatch  both digests over the 16 KiB message: the
//                               two portable paths, the two chosen paths in
//                               turn, the interleaved cores
//   both/one_pass, both/side_by_side  both digests with the content proof
//                               over that file, in one reading pass or on
//                               two threads (wall-clock time)
//   checksum                    the content checksum over the 16 KiB message
//
// Each reports bytes per second. The 64 MiB file is written under $TMPDIR
// (or /tmp) on first use and removed at exit.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "digest/both_digests.h"
#include "digest/checksum.h"
#include "digest/compress_dispatch.h"
#include "digest/file_digest.h"
#include "digest/file_source.h"
#include "digest/sha1.h"
#include "digest/sha512.h"

namespace {

constexpr std::size_t MESSAGE_BYTES = std::size_t{16} << 10;
constexpr std::size_t FILE_BYTES = std::size_t{64} << 20;

const std::vector<std::uint8_t>& message() {
  static const std::vector<std::uint8_t> bytes = [] {
    std::vector<std::uint8_t> b(MESSAGE_BYTES);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& v : b) {
      x = x * 1664525u + 1013904223u;
      v = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
  }();
  return bytes;
}

template <typename Word, std::size_t N>
void run_blocks(benchmark::State& state, const CompressPath<Word>& path, const Word (&h0)[N]) {
  if (!path_runs_here(path)) {
    state.SkipWithError("this CPU lacks the instructions of this path");
    return;
  }
  const std::uint8_t* data = message().data();
  const std::size_t blocks = MESSAGE_BYTES / (16 * sizeof(Word));
  Word h[N];
  for (std::size_t i = 0; i < N; ++i) h[i] = h0[i];
  for (auto _ : state) {
    path.blocks(h, data, blocks);
    benchmark::DoNotOptimize(h);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(MESSAGE_BYTES));
}

std::string& file_path() {
  static std::string path;
  return path;
}

// The 64 MiB file, written once and read once so that it is in the cache.
const char* cached_file() {
  std::string& path = file_path();
  if (path.empty()) {
    const char* dir = std::getenv("TMPDIR");
    path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zmrgen-bench-" +
           std::to_string(static_cast<long>(getpid())) + ".bin";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
      path.clear();
      return nullptr;
    }
    const std::vector<std::uint8_t>& chunk = message();
    bool ok = true;
    for (std::size_t at = 0; at < FILE_BYTES && ok; at += chunk.size()) {
      ok = std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size();
    }
    ok = std::fclose(f) == 0 && ok;
    Sha1Digest warm{};
    if (!ok || sha1_file(path.c_str(), warm) != static_cast<DigestStatus>(FILE_BYTES)) {
      std::remove(path.c_str());
      path.clear();
      return nullptr;
    }
  }
  return path.c_str();
}

template <typename Digest, typename Status>
void run_file(benchmark::State& state, Status (*digest_file)(const char*, Digest&)) {
  const char* path = cached_file();
  if (path == nullptr) {
    state.SkipWithError("cannot write the 64 MiB file");
    return;
  }
  Digest out{};
  for (auto _ : state) {
    const Status status = digest_file(path, out);
    if (status != static_cast<Status>(FILE_BYTES)) {
      state.SkipWithError("the file digest failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(FILE_BYTES));
}

// Both digests over the message through one path for both.
void run_both_blocks(benchmark::State& state, const BothPath& path) {
  if (!path_runs_here(path)) {
    state.SkipWithError("this CPU lacks the instructions of this path");
    return;
  }
  const std::uint8_t* data = message().data();
  std::uint32_t h1[5];
  std::uint64_t h5[8];
  for (std::size_t i = 0; i < 5; ++i) h1[i] = SHA1_H0[i];
  for (std::size_t i = 0; i < 8; ++i) h5[i] = SHA512_H0[i];
  for (auto _ : state) {
    path.blocks(h1, h5, data, MESSAGE_BYTES / 128);
    benchmark::DoNotOptimize(h1);
    benchmark::DoNotOptimize(h5);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(MESSAGE_BYTES));
}

// Both digests as the programs run them: `schedule` chooses side by side
// or one pass; the file's identity is taken once, outside the loop.
void run_both(benchmark::State& state, DigestSchedule schedule) {
  const char* path = cached_file();
  FileIdentity identity{};
  if (path == nullptr || !open_file_identity(path, &identity)) {
    state.SkipWithError("cannot write the 64 MiB file");
    return;
  }
  BothDigests out{};
  for (auto _ : state) {
    digest_both(path, identity, out, schedule);
    if (out.sha512_status != static_cast<DigestStatus64>(FILE_BYTES)) {
      state.SkipWithError("the digests failed");
      break;
    }
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(FILE_BYTES));
}

// The content checksum over the 16 KiB message.
void run_checksum(benchmark::State& state) {
  const std::vector<std::uint8_t>& m = message();
  for (auto _ : state) {
    ContentSum sum;
    content_sum_start(sum, 0);
    content_sum_add(sum, m.data(), m.size());
    benchmark::DoNotOptimize(content_sum_value(sum));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(m.size()));
}

void register_all() {
  benchmark::RegisterBenchmark("checksum", run_checksum);
  for (const Sha1Path& path : sha1_paths()) {
    benchmark::RegisterBenchmark((std::string("sha1/") + path.name).c_str(),
                                 [&path](benchmark::State& s) { run_blocks(s, path, SHA1_H0); });
  }
  benchmark::RegisterBenchmark(
      "sha1/dispatch", [](benchmark::State& s) { run_blocks(s, sha1_active_path(), SHA1_H0); });
  for (const Sha512Path& path : sha512_paths()) {
    benchmark::RegisterBenchmark((std::string("sha512/") + path.name).c_str(),
                                 [&path](benchmark::State& s) { run_blocks(s, path, SHA512_H0); });
  }
  benchmark::RegisterBenchmark("sha512/dispatch", [](benchmark::State& s) {
    run_blocks(s, sha512_active_path(), SHA512_H0);
  });
  for (const BothPath& path : both_paths()) {
    benchmark::RegisterBenchmark((std::string("both/") + path.name).c_str(),
                                 [&path](benchmark::State& s) { run_both_blocks(s, path); });
  }
  benchmark::RegisterBenchmark("both/dispatch",
                               [](benchmark::State& s) { run_both_blocks(s, both_active_path()); });
  benchmark::RegisterBenchmark("sha1_file", [](benchmark::State& s) {
    run_file(s, sha1_file);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sha512_file", [](benchmark::State& s) {
    run_file(s, sha512_file);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("both/one_pass",
                               [](benchmark::State& s) { run_both(s, DigestSchedule::one_pass); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("both/side_by_side",
                               [](benchmark::State& s) { run_both(s, DigestSchedule::parallel); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  register_all();
  benchmark::AddCustomContext("sha1 dispatch", sha1_active_path().name);
  benchmark::AddCustomContext("sha512 dispatch", sha512_active_path().name);
  benchmark::AddCustomContext("both dispatch", both_active_path().name);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!file_path().empty()) std::remove(file_path().c_str());
  return 0;
}
