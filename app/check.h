// zmrcheck: shows a record's fields, or checks a file against a record.
#pragma once

// Runs zmrcheck for the command line; returns the exit status: 0 a valid
// record or a matching file, 1 a file that does not match, 2 trouble.
int run_check(int argc, const char* const* argv);
