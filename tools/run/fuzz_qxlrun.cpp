// Fuzz target: qxlrun's loader and stack machine on arbitrary code, in the
// input forms of tools/run/fuzz_input.h.
#include <cstddef>
#include <cstdint>

#include "tools/run/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  (void)qxl::run::fuzz_input::run_input(data, size);
  return 0;
}
