// zmrbatch's entry: prepares the console and runs the batch with the command
// line (in UTF-8 on Windows).
#include "app/batch.h"
#include "platform/platform.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  console_init();
  return run_batch(argc, console_utf8_arguments(argc, argv));
}
#else
int main(int argc, char** argv) {
  console_init();
  return run_batch(argc, argv);
}
#endif
