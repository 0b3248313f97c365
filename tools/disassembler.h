// Decoding of the bytecode files that qxl writes into a readable listing.
//
// disassemble() checks the whole file while it decodes it: every read is
// bounds-checked, every length is compared with the bytes that are really
// there before anything is taken from it, and the first problem found ends
// the decoding with its file offset and a one-line description.  Either the
// whole listing comes back or only the error.
//
// The listing is pure ASCII, one item per line, with every offset in
// decimal.  Records start at the left margin with '@' and their file
// offset, their fields follow indented by two, and a function's
// instructions follow one a line, each with its code offset (counted from
// the first code byte) right-aligned in a column of eight:
//
//   @0 header
//     magic: 0x1a4c5851
//     version: 206
//     string pool size: 10
//     debug data size: 8
//   @16 function say-it
//     code length: 22 (18 code bytes)
//     reference area: 6 bytes, 1 reference
//     argument words: 0
//     frame words: 1
//     code:
//          0  OP_DEBUG_FILE 0 "a.q"
//          5  OP_PUSH_STRING 0 "hi"
//         10  OP_CALL say [ref 0], 1 word, result unused
//         14  OP_JUMP_IF_FALSE -> 17
//         17  OP_RETURN
//   @60 key binding
//     table: 1
//     key: 65 (0x41)
//   @66 end
//   @67 string pool: 10 bytes
//     0: "hi"
//   @77 debug data: 8 bytes
//     0: "a.q"
//
// Names are shown as the file stores them ('_' as '-'); texts (string
// pool entries, debug file names, type signatures, color scheme names) are
// quoted.  Printable ASCII stands as it is; any other byte is written \xNN
// and any other 16-bit unit \xNN below 0x100, else \uNNNN; inside quotes
// '"' and '\' are escaped with a backslash; in a name '\' is escaped and a
// space is \x20, so that a name is always one word.
//
// Jumps show their absolute target ("-> 17"), name references the name
// from the reference table and the entry's index, string and debug file
// offsets the text of their entry.  OP_SWITCH lists one "case VALUE ->
// TARGET" line per entry; OP_SAVE_VAR lists its restore code right below
// it, indented by two more.  Call bytes read "N words, result used" (or
// "unused").  A primitive call reads "primitive N" followed by its name and
// call byte when the lookup hook knows it.  Variable records show their
// attributes decoded, the type signature, the size and the initial data as
// a hex dump of 16 bytes a line; a char array also as the text of its
// 16-bit units, trailing zero units counted instead of shown.  The data of
// an initialized structure is only as long as its members' images, which
// the type signature gives, while its size is rounded up to whole words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qxl {

// What the disassembler needs to know about a primitive: its name, and
// whether it takes a variable number of arguments, in which case a call
// byte follows its instruction.
struct PrimitiveInfo {
  std::string_view name;
  bool variadic = false;
};

// Looks a primitive up by its number (95 to 245, or 512 and up).  Without
// an answer the primitive is shown by number and read without a call byte.
using PrimitiveLookup = std::optional<PrimitiveInfo> (*)(int number);

struct DisassemblyOptions {
  PrimitiveLookup primitive = nullptr;
};

struct DecodeError {
  std::size_t offset = 0;  // in the file
  std::string message;
};

struct Disassembly {
  std::string listing;               // empty when error is set
  std::optional<DecodeError> error;  // the first problem found
};

Disassembly disassemble(std::span<const std::uint8_t> file,
                        const DisassemblyOptions& options = {});

// Bytes of initial data a variable record of this kind, type signature and
// size carries: the size, except for an initialized structure or union,
// whose members' images are not rounded up.  Nothing for a signature or
// size that disassemble() refuses.
std::optional<std::uint64_t> variable_data_size(std::uint8_t kind,
                                                std::string_view type,
                                                std::uint32_t size);

// Reads the whole file; on failure returns false with the reason.
bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes,
               std::string& error);

}  // namespace qxl
