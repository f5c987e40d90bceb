// zmrbatch: records many documents in one command, each as zmrgen records
// one, with a line a file and a summary.
#pragma once

// Runs zmrbatch for the command line; returns the exit status: 0 every file
// has its record, 1 some were not recorded (another content's record holds
// the name), 2 trouble. A signal that would end the process ends it, by
// that signal, once the files under way are done and the summary said.
int run_batch(int argc, const char* const* argv);
