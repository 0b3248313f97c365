// Where the Unicode library finds its data.
//
// The default build links the library's data into every program.  A build
// for a system package links only the library's code and takes the data
// from the system's shared Unicode data library, so the programs stay small
// and share one copy of it.
#pragma once

namespace qxl {

// Hands the library its data before it is initialised: nothing to do when
// the data is linked in; with the system's data library, finds the data in
// it.  When the data library cannot be found the library falls back to a
// data file in the directory given to it, as it would anyway.
void attach_unicode_data();

}  // namespace qxl
