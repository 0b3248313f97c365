// Entry point of the qxl compiler.
#include <string>
#include <vector>

#include "driver/compile.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return qxl::run_qxl(args);
}
