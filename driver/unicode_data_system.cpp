#include "driver/unicode_data.h"

#include <dlfcn.h>

#include <cstdint>

#include <unicode/udata.h>
#include <unicode/utypes.h>

// The library's code refers to its data through one symbol, the data
// library's entry point.  Linking the shared data library would make the
// linker copy all of the data (some 30 MB) into every program at start-up,
// because the library's code is not position-independent.  Instead the
// program defines the entry point itself as an empty table of contents,
// the form the library's own stand-in for missing data has, and hands the
// library the real data from the shared library at run time.

namespace {

struct alignas(16) EmptyDataPackage {
  std::uint16_t header_size;
  std::uint8_t magic1, magic2;
  UDataInfo info;
  char padding[8];
  std::uint32_t count, reserved;
  std::uint64_t no_entries[2];
};

}  // namespace

extern "C" U_EXPORT const EmptyDataPackage U_ICUDATA_ENTRY_POINT = {
    32,
    0xda,
    0x27,
    {sizeof(UDataInfo),
     0,
     U_IS_BIG_ENDIAN,
     U_CHARSET_FAMILY,
     sizeof(UChar),
     0,
     {0x54, 0x6f, 0x43, 0x50},  // "ToCP": a table of contents of pointers
     {1, 0, 0, 0},
     {0, 0, 0, 0}},
    {},
    0,
    0,
    {0, 0},
};

namespace qxl {

namespace {
#define QXL_TEXT_OF(name) #name
#define QXL_NAME_TEXT(name) QXL_TEXT_OF(name)
constexpr const char* data_library = "libicudata.so." U_ICU_VERSION_SHORT;
constexpr const char* entry_point = QXL_NAME_TEXT(U_ICUDATA_ENTRY_POINT);
#undef QXL_NAME_TEXT
#undef QXL_TEXT_OF
}  // namespace

void attach_unicode_data() {
  // The program links the data library, so this only finds it again; the
  // look-up through its handle finds its own entry point, not the empty one
  // above.
  void* library = ::dlopen(data_library, RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) return;
  const void* data = ::dlsym(library, entry_point);
  if (data == nullptr) return;
  UErrorCode status = U_ZERO_ERROR;
  udata_setCommonData(data, &status);
}

}  // namespace qxl
