// Replays stored fuzz inputs through a target without libFuzzer.
//
// Each argument is an input file or a folder of them (a missing folder is
// skipped). A target reports a finding by aborting, so reaching the end means
// every input passed. Inputs run in name order, so a failure is repeatable.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

void collect(const fs::path& path, std::vector<fs::path>& files) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(path, ec)) {
      entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries) collect(entry, files);
  } else if (fs::exists(path, ec)) {
    files.push_back(path);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Absolute names first: a target may change the current directory.
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(argv[i], ec);
    if (!ec) collect(absolute, files);
  }
  if (files.empty()) {
    std::fprintf(stderr, "no inputs found\n");
    return 1;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", file.string().c_str());
      return 1;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> data(bytes.size());
    if (!bytes.empty()) std::memcpy(data.data(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", files.size());
  return 0;
}
