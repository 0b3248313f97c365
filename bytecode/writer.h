// The output writer: puts the bytecode file on disk or on standard output,
// decides which records reach it under -e, and keeps the string pool and the
// debug file-name data that end the file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bytecode/format.h"
#include "bytecode/hash_index.h"

namespace qxl {

// The output is written in blocks of this size.
inline constexpr std::size_t output_block_size = 65536;
inline constexpr std::size_t stdout_growth = 10000;

struct WriterState {
  bool to_stdout = false;
  int fd = -1;
  std::string path;
  // Identity of the file we created, so that only that very file is ever
  // removed after an error, and never a device.
  bool created = false;
  bool regular_file = false;
  dev_t device = 0;
  ino_t inode = 0;

  ByteBuffer block;  // file mode: bytes waiting to be written
  // File mode: where the next block goes, and the end of what this run
  // wrote, to which the file is cut at the end.
  std::uint64_t file_offset = 0;
  std::uint64_t file_end = 0;
  ByteBuffer image;  // standard-output mode: the whole output
  std::size_t position = 0;
  std::size_t high_water = 0;

  ByteBuffer deferred;  // color records held back by -e
  bool function_written = false;

  // The string pool and the debug file-name data, each with the offsets
  // of its entries by the hash of their bytes.  Every entry of both areas
  // is a 4-byte count followed by that many bytes.
  ByteBuffer string_pool;
  HashIndex<std::uint32_t> pool_index;
  ByteBuffer debug_names;
  HashIndex<std::uint32_t> debug_index;
  ByteBuffer scratch_entry;  // the entry being looked up

  void reset();
};

extern WriterState writer;

// Creates the output file (nothing in standard-output mode).  Prints
// "%s: can't create %s" and ends the run with status 1 on failure.
void output_open(std::string_view name);
void output_write(const std::uint8_t* bytes, std::size_t count);
inline void output_write(const ByteBuffer& bytes) {
  output_write(bytes.data(), bytes.size());
}
void output_rewind();
void output_close(int error_count);
// Deletes the output file after a failed compile, if it is the regular file
// this run created.
void remove_output();

// The header: magic, version, string pool size, debug data size.
ByteBuffer file_header(std::uint32_t pool_size, std::uint32_t debug_size);

// Records, composed completely by their producers.  Under -e, records that
// come from an included file are dropped or held back here; the producer,
// which knows where a record comes from, says whether that is the main
// source.  For a function record that is where its text is, which can
// differ from where the lexer is when the record is complete.
void write_function_record(const std::uint8_t* record_with_bindings,
                           std::size_t size, bool from_main_source);
inline void write_function_record(const ByteBuffer& record_with_bindings,
                                  bool from_main_source) {
  write_function_record(record_with_bindings.data(),
                        record_with_bindings.size(), from_main_source);
}
void write_variable_record(const ByteBuffer& record, bool from_main_source);
void write_color_record(const ByteBuffer& record, bool from_main_source);
void write_plain_record(const ByteBuffer& record);

// Offset of the pool entry holding these characters, adding the entry when
// the pool has none equal to it.
std::uint32_t add_string_entry(std::u16string_view characters);
// Offset of the debug file-name entry for this name, adding it when new.
std::uint32_t add_debug_file_name(std::string_view name);

void write_id_variable(std::string_view source_name);
void write_end();

}  // namespace qxl
