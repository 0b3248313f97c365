#include "bytecode/writer.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "driver/compile.h"
#include "driver/diagnostics.h"
#include "driver/options.h"
#include "driver/search_paths.h"
#include "driver/session.h"

namespace qxl {

WriterState writer;

void WriterState::reset() { *this = WriterState{}; }

namespace {

// Writes the waiting block to the file.
void flush_block() {
  std::size_t done = 0;
  while (done < writer.block.size()) {
    ssize_t n = ::write(writer.fd, writer.block.data() + done,
                        writer.block.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      writer.block.clear();
      if (errno == ENOSPC || errno == EFBIG) report_fatal("disk full");
      report_fatal("write error");
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    writer.file_offset += static_cast<std::uint64_t>(n);
    writer.file_end = std::max(writer.file_end, writer.file_offset);
    // A short write means the disk has no room for the rest.
    if (done < writer.block.size()) {
      writer.block.clear();
      report_fatal("disk full");
    }
  }
  writer.block.clear();
}

void write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, bytes, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
}

// Whether -e keeps a record of this origin out of the output.
bool withheld(bool from_main_source) {
  return settings.exclude_headers != 0 && !from_main_source;
}

void release_deferred() {
  if (writer.deferred.empty()) return;
  ByteBuffer held;
  held.swap(writer.deferred);
  output_write(held);
}

}  // namespace

void output_open(std::string_view name) {
  // The language server keeps the output in memory, as for standard output.
  writer.to_stdout = settings.stdout_mode != 0 || compile_session != nullptr;
  writer.path = std::string(name);
  writer.block.clear();
  if (writer.to_stdout) return;
  writer.block.reserve(output_block_size);
  writer.file_offset = 0;
  writer.file_end = 0;
  // An existing file is overwritten in place and cut to the new length when
  // the output is complete (after an error it is removed instead): cutting
  // it to nothing first makes the file system settle the blocks it had,
  // which can cost more than the whole compile of a small source.
  int fd = ::open(writer.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    console_print("%s: can't create %s\n", writer.path.c_str(), "file");
    exit_with_status(1);
  }
  writer.fd = fd;
  writer.created = true;
  // Remember the file itself (a link to it resolves to it when an error
  // removes it, and only that very file is removed).
  struct stat info {};
  if (::fstat(fd, &info) == 0) {
    writer.regular_file = S_ISREG(info.st_mode);
    writer.device = info.st_dev;
    writer.inode = info.st_ino;
  }
}

void output_write(const std::uint8_t* bytes, std::size_t count) {
  if (writer.to_stdout) {
    const std::size_t end = writer.position + count;
    if (end > writer.image.size()) writer.image.resize(end + stdout_growth);
    std::copy_n(bytes, count, writer.image.begin() + static_cast<long>(writer.position));
    writer.position = end;
    writer.high_water = std::max(writer.high_water, writer.position);
    return;
  }
  while (count > 0) {
    if (writer.block.size() >= output_block_size) flush_block();
    const std::size_t room = output_block_size - writer.block.size();
    const std::size_t n = std::min(room, count);
    writer.block.insert(writer.block.end(), bytes, bytes + n);
    bytes += n;
    count -= n;
  }
}

void output_rewind() {
  if (writer.to_stdout) {
    writer.position = 0;
    return;
  }
  flush_block();
  if (::lseek(writer.fd, 0, SEEK_SET) != 0) report_fatal("write error");
  writer.file_offset = 0;
}

void output_close(int error_count) {
  if (writer.to_stdout && compile_session != nullptr) {
    writer.image.resize(writer.high_water);
    compile_session->output.swap(writer.image);
    writer.image.clear();
    writer.high_water = 0;
    return;
  }
  if (writer.to_stdout) {
    write_all(STDOUT_FILENO, writer.image.data(), writer.high_water);
    writer.image.clear();
    writer.high_water = 0;
    return;
  }
  if (writer.fd < 0) return;
  if (error_count == 0) {
    flush_block();
    // Whatever an earlier file held beyond the new output goes.
    if (writer.regular_file &&
        ::ftruncate(writer.fd, static_cast<off_t>(writer.file_end)) != 0)
      report_fatal("write error");
  }
  writer.block.clear();
  ::close(writer.fd);
  writer.fd = -1;
}

void remove_output() {
  if (!writer.created || !writer.regular_file) return;
  writer.created = false;
  // The file itself, not a link to it, is what was written; it is looked
  // for only now, as an error is the rare case.
  std::string target = writer.path;
  if (char* resolved = ::realpath(writer.path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
  }
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) return;
  if (!S_ISREG(info.st_mode) || info.st_dev != writer.device ||
      info.st_ino != writer.inode)
    return;
  ::unlink(target.c_str());
}

ByteBuffer file_header(std::uint32_t pool_size, std::uint32_t debug_size) {
  ByteBuffer header;
  put_u32(header, bytecode_magic);
  put_u32(header, bytecode_version);
  put_u32(header, pool_size);
  put_u32(header, debug_size);
  return header;
}

void write_function_record(const std::uint8_t* record_with_bindings,
                           std::size_t size, bool from_main_source) {
  writer.function_written = true;
  if (withheld(from_main_source)) return;
  output_write(record_with_bindings, size);
}

void write_variable_record(const ByteBuffer& record, bool from_main_source) {
  if (withheld(from_main_source)) return;
  output_write(record);
}

void write_color_record(const ByteBuffer& record, bool from_main_source) {
  if (withheld(from_main_source)) {
    if (record.front() != record::color_assignment)
      writer.deferred.insert(writer.deferred.end(), record.begin(),
                             record.end());
    return;
  }
  release_deferred();
  output_write(record);
}

void write_plain_record(const ByteBuffer& record) { output_write(record); }

namespace {

// The offset of the entry of `area` equal to `entry`, adding `entry` at the
// end of the area when there is none; `make_room` runs before an entry is
// added, with its size, and may end the compile.
template <typename MakeRoom>
std::uint32_t find_or_add_entry(ByteBuffer& area,
                                HashIndex<std::uint32_t>& index,
                                const ByteBuffer& entry, MakeRoom make_room) {
  const std::uint32_t hash = text_hash(std::string_view(
      reinterpret_cast<const char*>(entry.data()), entry.size()));
  const std::uint32_t* found = index.find(hash, [&](std::uint32_t offset) {
    return area.size() - offset >= entry.size() &&
           std::equal(entry.begin(), entry.end(), area.begin() + offset);
  });
  if (found != nullptr) return *found;
  make_room(entry.size());
  const auto offset = static_cast<std::uint32_t>(area.size());
  area.insert(area.end(), entry.begin(), entry.end());
  index.insert(hash, offset);
  return offset;
}

}  // namespace

std::uint32_t add_string_entry(std::u16string_view characters) {
  // The entry is laid out through a cursor: its size is known before.
  ByteBuffer& entry = writer.scratch_entry;
  const std::size_t units = characters.size() + 1;  // the zero included
  entry.resize(4 + 2 * units);
  std::uint8_t* out = entry.data();
  const auto count = static_cast<std::uint32_t>(2 * units);
  for (int shift = 0; shift < 32; shift += 8)
    *out++ = static_cast<std::uint8_t>(count >> shift);
  for (char16_t c : characters) {
    *out++ = static_cast<std::uint8_t>(c);
    *out++ = static_cast<std::uint8_t>(c >> 8);
  }
  out[0] = 0;
  out[1] = 0;
  return find_or_add_entry(
      writer.string_pool, writer.pool_index, entry, [](std::size_t size) {
        if (writer.string_pool.size() + size > string_pool_limit)
          report_fatal("too many string constants, split into two files");
      });
}

std::uint32_t add_debug_file_name(std::string_view name) {
  if (writer.debug_names.size() > debug_names_limit)
    report_fatal("too much debug file name data");
  ByteBuffer& entry = writer.scratch_entry;
  entry.clear();
  put_u32(entry, static_cast<std::uint32_t>(name.size() + 1));
  entry.insert(entry.end(), name.begin(), name.end());
  put_u8(entry, 0);
  return find_or_add_entry(writer.debug_names, writer.debug_index, entry,
                           [](std::size_t) {});
}

void write_id_variable(std::string_view source_name) {
  if (!writer.function_written) return;
  std::string name(source_name);
  if (extension_of(name) == name.size()) name += ".q";

  std::string full_path = name;
  if (char* resolved = ::realpath(name.c_str(), nullptr)) {
    if (std::string_view(resolved).size() <= 255) full_path = resolved;
    std::free(resolved);
  }

  name.resize(extension_of(name));
  const std::string base = name.substr(file_name_part(name, false));

  ByteBuffer record;
  put_u8(record, record::initialized_variable);
  put_u8(record, attribute::volatile_ | attribute::class_char_array);
  put_name(record, std::string(id_variable_prefix) + base);
  const std::size_t count = full_path.size() + 1;
  const std::string digits = std::to_string(count);
  put_u8(record, '[');
  record.insert(record.end(), digits.begin(), digits.end());
  put_u8(record, 'C');
  put_u8(record, ']');
  put_u8(record, 0);
  put_u32(record, static_cast<std::uint32_t>(2 * count));
  for (char c : full_path) put_u16(record, static_cast<unsigned char>(c));
  put_u16(record, 0);
  output_write(record);
}

void write_end() {
  const std::uint8_t end = record::end;
  output_write(&end, 1);
  output_write(writer.string_pool);
  output_write(writer.debug_names);
}

}  // namespace qxl
