// Entry point of the qxl compiler.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/compile.h"

// Under the address sanitizer the compiler takes its tables apart at the
// end, so that the leak check sees every one of them.
#if defined(__SANITIZE_ADDRESS__)
#define QXL_KEEP_TEARDOWN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QXL_KEEP_TEARDOWN 1
#endif
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  // The compiler's tables are left to the process's end (below), so the
  // end of a compile can leave at once, without unwinding to here.
#if !defined(QXL_KEEP_TEARDOWN)
  qxl::set_leave_process_at_exit(true);
#endif
  const int status = qxl::run_qxl(args);
  // The compile has written and closed everything it makes; what is left
  // is memory that the process's end gives back anyway.  Leaving without
  // running the destructors of the compiler's tables saves taking apart,
  // one record at a time, what a large compile built.
#if defined(QXL_KEEP_TEARDOWN)
  return status;
#else
  std::fflush(nullptr);
  std::_Exit(status);
#endif
}
