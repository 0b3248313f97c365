// Fuzz target: the disassembler's decoding of arbitrary bytecode files.
#include <cstddef>
#include <cstdint>
#include <span>

#include "tools/disassembler.h"
#include "types/builtins.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  qxl::DisassemblyOptions options;
  (void)qxl::disassemble(std::span<const std::uint8_t>(data, size), options);
  return 0;
}
