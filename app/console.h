// The console layer: process set-up for console output and the final key
// wait. One implementation per platform.
#pragma once

// Prepares the process: output that cannot be delivered (a closed pipe) and
// an exceeded file-size limit become failed writes, never a killed run.
void console_init();

// Flushes standard output, then waits for one key press on the console
// keyboard itself (not standard input), without echo. Returns at once when
// no console is attached. The previous console mode is restored on return.
void wait_for_key();
