// Entry point of the qxl compiler.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/compile.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  const int status = qxl::run_qxl(args);
  // The compile has written and closed everything it makes; what is left
  // is memory that the process's end gives back anyway.  Leaving without
  // running the destructors of the compiler's tables saves taking apart,
  // one record at a time, what a large compile built.
  // Under the address sanitizer the normal end stays, so that its leak
  // check still sees every table taken apart.
#if defined(__SANITIZE_ADDRESS__)
  return status;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return status;
#endif
#endif
  std::fflush(nullptr);
  std::_Exit(status);
}
