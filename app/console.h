// The console layer: process set-up for console output and the final key
// wait. One implementation per platform.
#pragma once

// Prepares the process: output that cannot be delivered (a closed pipe) and
// an exceeded file-size limit become failed writes, never a killed run.
void console_init();

// Flushes standard output, then waits for one key press on the console
// keyboard itself (not standard input), without echo. The whole key is
// consumed, including every byte of a key that sends several. Returns at once
// when no console is attached (or, on POSIX, when the process is a background
// job). The previous console mode is restored on return, and on POSIX also
// when a terminating signal ends the process during the wait.
void wait_for_key();

#ifdef _WIN32
// The wide command line that wmain receives, converted to UTF-8 so that any
// file name survives (main's own arguments are in the ANSI code page, which
// cannot hold every name). The file layer converts names back to UTF-16.
// The result lives until the process ends.
const char* const* console_utf8_arguments(int argc, wchar_t** wide_argv);
#endif
