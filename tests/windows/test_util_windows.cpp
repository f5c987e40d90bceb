// The operating-system half of test_util for Windows: scratch directories,
// file helpers, running the tool and capturing standard output. Names are
// UTF-8, as everywhere in the program.
#include "test_util.h"
#include "windows/windows_tool.h"

#include <fcntl.h>
#include <io.h>
#include <winioctl.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace {

void remove_tree(const std::wstring& path) {
  const DWORD attrs = GetFileAttributesW(path.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    for (const std::string& name : list_dir(narrow(path))) remove_tree(path + L"\\" + widen(name));
    RemoveDirectoryW(path.c_str());
  } else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    RemoveDirectoryW(path.c_str());
  } else {
    DeleteFileW(path.c_str());
  }
}

std::atomic<unsigned> scratch_count{0};

}  // namespace

ScratchDir::ScratchDir() {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::wstring candidate = std::wstring(base) + L"zmrgen-test-" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(scratch_count++);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = narrow(candidate);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot create a scratch directory");
}

ScratchDir::~ScratchDir() { remove_tree(widen(path_)); }

ScratchCwd::ScratchCwd() {
  wchar_t buf[4096];
  const DWORD n = GetCurrentDirectoryW(4096, buf);
  if (n == 0 || n >= 4096) throw std::runtime_error("GetCurrentDirectoryW failed");
  saved_ = narrow(buf);
  if (!SetCurrentDirectoryW(widen(dir_.path()).c_str())) {
    throw std::runtime_error("SetCurrentDirectoryW failed");
  }
}

ScratchCwd::~ScratchCwd() {
  if (!SetCurrentDirectoryW(widen(saved_).c_str())) std::fputs("cannot restore cwd\n", stderr);
}

bool file_exists(const std::string& path) {
  return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void make_sparse_file(const std::string& path, std::uint64_t size) {
  const HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("sparse file");
  DWORD ignored = 0;
  // Not every file system has sparse files; the size is set either way.
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  if (!ok) throw std::runtime_error("sparse file");
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const HANDLE h = FindFirstFileW((widen(dir) + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(narrow(name));
  } while (FindNextFileW(h, &found));
  FindClose(h);
  return names;
}

// The POSIX meaning, so that shared tests read the same: the low 8 bits of
// the exit code. Windows tests use run_windows_tool for the whole code.
ToolRun run_tool(const std::vector<std::string>& args, const ToolOptions& options) {
  if (options.file_limit) throw std::runtime_error("Windows has no file-size limit");
  if (!options.stdin_file.empty()) throw std::runtime_error("standard input is always NUL here");
  std::vector<std::wstring> wide_args;
  for (const std::string& a : args) wide_args.push_back(widen(a));
  WindowsRunOptions windows_options;
  windows_options.cwd = widen(options.cwd);
  windows_options.close_stdout_early = options.stdout_closed;
  if (options.checker) windows_options.exe = widen(ZMRCHECK_EXE);
  if (options.batch) windows_options.exe = widen(ZMRBATCH_EXE);
  const WindowsRun r = run_windows_tool(wide_args, windows_options);
  ToolRun run;
  run.out = r.out;
  run.err = r.err;
  run.exit_code = r.finished ? static_cast<int>(r.exit_code & 0xFF) : -1;
  return run;
}

// ---- Standard output capture ----
//
// In binary mode, so that the captured text is what the code under test
// printed, "\n" and all; the line ends a Windows user sees are tested
// through the built tool.

namespace {
int saved_stdout = -1;
std::wstring capture_path;
}  // namespace

void begin_capture_stdout() {
  std::fflush(stdout);
  wchar_t dir[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, dir) == 0 || GetTempFileNameW(dir, L"zmr", 0, name) == 0) {
    throw std::runtime_error("capture file");
  }
  capture_path = name;
  const int fd = _wopen(name, _O_WRONLY | _O_TRUNC | _O_BINARY);
  if (fd < 0) throw std::runtime_error("capture file");
  saved_stdout = _dup(1);
  _dup2(fd, 1);
  _close(fd);
  _setmode(1, _O_BINARY);
}

std::string end_capture_stdout() {
  std::fflush(stdout);
  _dup2(saved_stdout, 1);
  _close(saved_stdout);
  saved_stdout = -1;
  std::string s = read_file(narrow(capture_path));
  DeleteFileW(capture_path.c_str());
  return s;
}
