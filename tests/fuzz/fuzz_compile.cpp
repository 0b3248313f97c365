// Fuzz target: the whole compile, from source bytes to bytecode.  Each
// input is written to a source file in a private directory and compiled
// in-process; the output file stays in that directory and everything the
// compiler prints is captured instead of written.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/compile.h"
#include "driver/diagnostics.h"

namespace {

const std::string& work_directory() {
  static const std::string directory = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qxl-fuzz-XXXXXX").string();
    const char* made = ::mkdtemp(pattern.data());
    return std::string(made != nullptr ? made : "/tmp");
  }();
  return directory;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string& directory = work_directory();
  const std::string source = directory + "/input.q";
  const std::string output = directory + "/input.b";
  {
    std::ofstream file(source, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data),
               static_cast<std::streamsize>(size));
  }
  std::string console;
  qxl::diagnostics.capture = &console;
  const int status = qxl::run_qxl({"qxl", "-n", "-w2", "-o", output, source});
  qxl::diagnostics.capture = nullptr;
  // A failed compile must not leave its output behind.
  if (status != 0 && std::filesystem::exists(output)) abort();
  std::filesystem::remove(output);
  return 0;
}
