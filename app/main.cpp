#include <cstdio>

#include "app/console.h"
#include "app/driver.h"

int main(int argc, char** argv) {
  console_init();
  const std::int32_t status = run_generator(argc, argv);
  std::fputs("\nDone.  Press any key to quit.\n", stdout);
  wait_for_key();
  return status;
}
