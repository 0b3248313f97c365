#include "driver/unicode_data.h"

namespace qxl {

// The data is part of the program: the library finds it by itself.
void attach_unicode_data() {}

}  // namespace qxl
