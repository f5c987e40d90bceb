// Running the built tool on Windows without a console or inside a pseudo
// console (see windows_tool.h).
#include "windows/windows_tool.h"

#include <stdexcept>

namespace {

// Owns a handle for the length of a scope.
struct Handle {
  HANDLE h = nullptr;
  Handle() = default;
  explicit Handle(HANDLE value) : h(value) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void reset() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = nullptr;
  }
};

std::wstring command_line(const std::vector<std::wstring>& args, const std::wstring& exe) {
  std::wstring line = quote_argument(exe);
  for (const std::wstring& arg : args) line += L" " + quote_argument(arg);
  return line;
}

// A pipe whose write end the child inherits and whose read end stays here.
void child_output_pipe(Handle& read_end, Handle& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  if (!CreatePipe(&read_end.h, &write_end.h, &inherit, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(read_end.h, HANDLE_FLAG_INHERIT, 0);
}

std::string read_all(HANDLE pipe) {
  std::string s;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0) s.append(buf, got);
  return s;
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  // Backslashes are literal except before a quote, where they escape in
  // pairs; so double a run that precedes a quote or the closing quote.
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
    } else if (c == L'"') {
      quoted.append(2 * backslashes + 1, L'\\');
      backslashes = 0;
    } else {
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring tool_path() { return widen(ZMRGEN_EXE); }

WindowsRun run_windows_tool(const std::vector<std::wstring>& args,
                            const WindowsRunOptions& options) {
  Handle out_read, out_write, err_read, err_write;
  child_output_pipe(out_read, out_write);
  child_output_pipe(err_read, err_write);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in.h;
  si.hStdOutput = out_write.h;
  si.hStdError = err_write.h;
  const std::wstring exe = options.exe.empty() ? tool_path() : options.exe;
  std::wstring line = command_line(args, exe);
  PROCESS_INFORMATION pi{};
  // No console: as for a scheduled task or a service, the key wait has no
  // keyboard to read and must return at once.
  if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                      options.cwd.empty() ? nullptr : options.cwd.c_str(), &si, &pi)) {
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
  }
  Handle process(pi.hProcess), thread(pi.hThread);
  out_write.reset();
  err_write.reset();

  WindowsRun run;
  std::thread err_reader([&] { run.err = read_all(err_read.h); });
  if (options.close_stdout_early) {
    char c;
    DWORD got = 0;
    while (ReadFile(out_read.h, &c, 1, &got, nullptr) && got == 1) {
      run.out += c;
      if (c == '\n' && run.out.size() > 2) break;
    }
    out_read.reset();
  } else {
    run.out = read_all(out_read.h);
  }
  run.finished = WaitForSingleObject(process.h, options.timeout_ms) == WAIT_OBJECT_0;
  if (!run.finished) TerminateProcess(process.h, 0xDEAD);
  err_reader.join();
  DWORD code = 0;
  GetExitCodeProcess(process.h, &code);
  run.exit_code = code;
  return run;
}

INPUT_RECORD key_event(bool down, WORD vk, wchar_t ch, DWORD modifiers) {
  INPUT_RECORD r{};
  r.EventType = KEY_EVENT;
  r.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  r.Event.KeyEvent.wRepeatCount = 1;
  r.Event.KeyEvent.wVirtualKeyCode = vk;
  r.Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  r.Event.KeyEvent.uChar.UnicodeChar = ch;
  r.Event.KeyEvent.dwControlKeyState = modifiers;
  return r;
}

ConsoleSession::ConsoleSession() {
  if (!CreatePipe(&typed_read_, &typed_write_, nullptr, 0) ||
      !CreatePipe(&screen_read_, &screen_write_, nullptr, 0)) {
    throw std::runtime_error("CreatePipe");
  }
  if (FAILED(CreatePseudoConsole(COORD{100, 30}, typed_read_, screen_write_, 0, &console_))) {
    throw std::runtime_error("CreatePseudoConsole");
  }
  // The console's screen must be drained or it stalls when the pipe fills.
  screen_reader_ = std::thread([this, h = screen_read_] {
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) {
      const std::lock_guard<std::mutex> lock(out_mutex_);
      screen_.append(buf, got);
    }
  });
}

// Ends the current run, if any: the tool is stopped if it still runs.
void ConsoleSession::end_run() {
  if (process_.hProcess != nullptr) {
    if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
      TerminateProcess(process_.hProcess, 0xDEAD);
    }
    WaitForSingleObject(process_.hProcess, 10000);
  }
  if (out_reader_.joinable()) out_reader_.join();
  if (process_.hProcess != nullptr) {
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
  }
  process_ = PROCESS_INFORMATION{};
}

ConsoleSession::~ConsoleSession() {
  end_run();
  if (conout_ != INVALID_HANDLE_VALUE) CloseHandle(conout_);
  if (conin_ != INVALID_HANDLE_VALUE) {
    CloseHandle(conin_);
    FreeConsole();
  }
  ClosePseudoConsole(console_);
  CloseHandle(typed_write_);
  CloseHandle(typed_read_);
  CloseHandle(screen_write_);
  if (screen_reader_.joinable()) screen_reader_.join();
  CloseHandle(screen_read_);
}

bool ConsoleSession::type(const std::string& text) {
  DWORD done = 0;
  return WriteFile(typed_write_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
         done == text.size();
}

bool ConsoleSession::start(const std::vector<std::wstring>& args, const std::wstring& cwd,
                           bool output_to_console) {
  end_run();
  out_.clear();
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<unsigned char> storage(size);
  auto* attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
  if (!InitializeProcThreadAttributeList(attrs, 1, 0, &size) ||
      !UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console_,
                                 sizeof console_, nullptr, nullptr)) {
    return false;
  }
  Handle out_read, out_write;
  child_output_pipe(out_read, out_write);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  Handle null_in(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr));

  // Standard input and output are not the console: the key wait must find
  // the console keyboard by itself.
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  if (output_to_console) {
    if (conout_ == INVALID_HANDLE_VALUE) return false;
    si.StartupInfo.hStdInput = conin_;
    si.StartupInfo.hStdOutput = conout_;
    si.StartupInfo.hStdError = conout_;
  } else {
    si.StartupInfo.hStdInput = null_in.h;
    si.StartupInfo.hStdOutput = out_write.h;
    si.StartupInfo.hStdError = out_write.h;
  }
  si.lpAttributeList = attrs;
  std::wstring line = command_line(args, tool_path());
  const BOOL ok = CreateProcessW(tool_path().c_str(), line.data(), nullptr, nullptr, TRUE,
                                 EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                 cwd.empty() ? nullptr : cwd.c_str(), &si.StartupInfo, &process_);
  DeleteProcThreadAttributeList(attrs);
  if (!ok) return false;
  out_write.reset();
  out_reader_ = std::thread([this, h = out_read.h] {
    char buf[4096];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) {
      const std::lock_guard<std::mutex> lock(out_mutex_);
      out_.append(buf, got);
    }
    CloseHandle(h);
  });
  out_read.h = nullptr;  // the reader thread owns it now
  return true;
}

bool ConsoleSession::attach(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (conin_ == INVALID_HANDLE_VALUE) {
    FreeConsole();
    if (AttachConsole(process_.dwProcessId)) {
      // Inheritable, for runs that use the console as standard input and
      // output.
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      conin_ = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
      if (conin_ != INVALID_HANDLE_VALUE) {
        conout_ =
            CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        break;
      }
      FreeConsole();
    }
    if (GetTickCount64() >= deadline) return false;
    if (WaitForSingleObject(process_.hProcess, 5) == WAIT_OBJECT_0) return false;
  }
  return true;
}

bool ConsoleSession::wait_for_raw_mode(DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  if (!attach(timeout_ms)) return false;
  while (GetTickCount64() < deadline) {
    const long long mode = input_mode();
    if (mode >= 0 && (mode & ENABLE_LINE_INPUT) == 0) return true;
    if (WaitForSingleObject(process_.hProcess, 10) == WAIT_OBJECT_0) return false;
  }
  return false;
}

long long ConsoleSession::input_mode() {
  DWORD mode = 0;
  if (conin_ == INVALID_HANDLE_VALUE || !GetConsoleMode(conin_, &mode)) return -1;
  return mode;
}

bool ConsoleSession::set_input_mode(DWORD mode) {
  return conin_ != INVALID_HANDLE_VALUE && SetConsoleMode(conin_, mode);
}

bool ConsoleSession::send(const std::vector<INPUT_RECORD>& events) {
  DWORD written = 0;
  return conin_ != INVALID_HANDLE_VALUE &&
         WriteConsoleInputW(conin_, events.data(), static_cast<DWORD>(events.size()), &written) &&
         written == events.size();
}

DWORD ConsoleSession::pending_events() {
  DWORD n = 0;
  if (conin_ == INVALID_HANDLE_VALUE || !GetNumberOfConsoleInputEvents(conin_, &n)) return 0;
  return n;
}

bool ConsoleSession::ended_within(DWORD timeout_ms) {
  return WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
}

std::uint32_t ConsoleSession::exit_code() {
  DWORD code = 0;
  GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

std::string ConsoleSession::out() {
  const std::lock_guard<std::mutex> lock(out_mutex_);
  return out_;
}

std::string ConsoleSession::screen() {
  const std::lock_guard<std::mutex> lock(out_mutex_);
  return screen_;
}
