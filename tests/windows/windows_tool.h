// Running the built tool on Windows (and under Wine): with no console, as a
// script or a service would, to see its complete output and its whole 32-bit
// exit code; or inside a pseudo console, to drive its key wait with exact
// console key events.
#pragma once

#include "platform/windows_api.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged (spaces, quotes, backslashes, empty strings).
std::wstring quote_argument(const std::wstring& arg);

// The tool's path as the tests were built with it.
std::wstring tool_path();

struct WindowsRun {
  bool finished = false;        // ended by itself within the time allowed
  std::uint32_t exit_code = 0;  // the whole exit code, as GetExitCodeProcess gives it
  std::string out;              // standard output, byte for byte
  std::string err;              // standard error, byte for byte
};

struct WindowsRunOptions {
  std::wstring exe;                 // the program; empty = zmrgen.exe
  std::wstring cwd;                 // working directory; empty = current
  bool close_stdout_early = false;  // read the first line, then close the pipe
  DWORD timeout_ms = 120000;        // then the tool is ended and the run fails
};

// Runs the tool with no console attached (so its key wait returns at once),
// standard input from NUL and standard output and error into pipes.
WindowsRun run_windows_tool(const std::vector<std::wstring>& args,
                            const WindowsRunOptions& options = {});

// The tool in a pseudo console of its own, its standard output and error in
// pipes. The test process attaches to that console to write key events into
// its input buffer and to read its input mode.
class ConsoleSession {
 public:
  ConsoleSession();
  ~ConsoleSession();
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // Text typed on the terminal side of the console, as a user types it; the
  // console turns it into key events. May be used before start().
  bool type(const std::string& text);
  // Starts the tool in the console; again after an earlier run has ended, to
  // run it a second time in the same console. Its standard output and error
  // go to a pipe (out()), or with `output_to_console` to the console itself
  // (screen()), with standard input the console too; that needs this
  // process attached already, by an earlier run.
  bool start(const std::vector<std::wstring>& args, const std::wstring& cwd = L"",
             bool output_to_console = false);
  // Attaches this process to the tool's console, to reach its input buffer.
  bool attach(DWORD timeout_ms);
  // Attaches, then waits until the console's input mode has line input
  // turned off, which the key wait does before it reads a key.
  bool wait_for_raw_mode(DWORD timeout_ms);
  // The console's input mode, or -1 when it cannot be read; and setting it
  // (once attached).
  long long input_mode();
  bool set_input_mode(DWORD mode);
  // Writes key events into the console's input buffer.
  bool send(const std::vector<INPUT_RECORD>& events);
  // Key events left unread in the console's input buffer.
  DWORD pending_events();
  // True when the tool has ended within `timeout_ms`.
  bool ended_within(DWORD timeout_ms);
  std::uint32_t exit_code();
  std::string out();
  // Everything the console has sent to its terminal so far: text and
  // terminal control sequences, in UTF-8.
  std::string screen();

 private:
  void end_run();

  HPCON console_ = nullptr;
  HANDLE typed_write_ = nullptr;  // terminal side: what the user types
  HANDLE typed_read_ = nullptr;
  HANDLE screen_read_ = nullptr;  // terminal side: what the console shows
  HANDLE screen_write_ = nullptr;
  HANDLE conin_ = INVALID_HANDLE_VALUE;
  HANDLE conout_ = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION process_{};
  std::thread screen_reader_;
  std::thread out_reader_;
  std::mutex out_mutex_;
  std::string out_;
  std::string screen_;
};

// A key event as the console reports it. `ch` is the character the key
// yields, 0 for none.
INPUT_RECORD key_event(bool down, WORD vk, wchar_t ch, DWORD modifiers = 0);
