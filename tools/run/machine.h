// The stack machine of qxlrun: runs the functions of a loaded program.
//
// Values.  The stack is a vector of 4-byte words.  Each word carries a
// small tag beside its bits: a one-word value, a word of a large value (with
// the value's length and the word's place in it), or a word of a direct
// address.  The tags let instructions that do not say how big their operand
// is (OP_ADD on a pointer, OP_POP_LARGE, OP_STORE_LARGE, OP_RETURN_LARGE)
// take the right number of words, and let a wrong one be reported instead
// of silently misreading the stack.
//
// Pointers.  A pointer value is three words: the id of the object it points
// into, a signed byte offset inside that object, and the object's base
// address.  Every piece of memory a program can reach is an object: a
// global (and, for buffer and window variables, a second object holding the
// default value), a built-in variable, a string constant, a block from
// malloc, or a view of one local variable or parameter of one call.  Base
// addresses are handed out from one 32-bit address space, never twice for
// live objects, so a pointer converted to an int is a stable address
// (base + offset) that converts back, and a pointer whose base no longer
// matches its object (freed memory, the locals of a call that has returned)
// is recognised.  The null pointer is all zeros.  Every access checks the
// object, its liveness and the bounds of the access.  A pointer made from an
// int that lies in no object keeps the int as its offset and object id 0.
//
// A direct address (from OP_GLOBAL_REF or OP_DEREF) has the same three
// words, tagged as an address; OP_LOAD_LARGE reads the whole global through
// an address from OP_GLOBAL_REF and 12 bytes (a pointer) through one from
// OP_DEREF, since the instruction itself gives no size.
//
// Frames.  A call finds its arguments on the stack (the first argument on
// top), pushes three words of its own and then its local words, zeroed.
// Frame offsets address words from the first local (offset 0); the
// parameters lie below the three machine words.  The machine keeps its real
// return information outside the stack, so nothing a program writes can
// derail a return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/program.h"

namespace qxl::run {

// The runner's own limits on the memory a program takes; the fuzz target
// sets lower ones, so that a run within them stays far below its own.
struct Limits {
  std::int64_t block = std::int64_t{1} << 28;  // one block from malloc
  std::int64_t heap = std::int64_t{1} << 30;   // all the blocks together
  std::size_t buffer_characters = 0x10000000;  // the characters of the buffer
  // The global variables together, the default values of buffer and window
  // variables included.
  std::uint64_t globals = std::uint64_t{1} << 28;
};

struct Options {
  Limits limits;
  std::string function = "main";  // as the source writes it
  std::uint64_t max_steps = 0;     // 0: no limit
  std::size_t stack_words = 1u << 20;
  std::size_t max_depth = 100000;
  std::vector<std::string> arguments;  // argv of the program, argv[0] first
  // The editor's session: the buffer's text and point at the start, and
  // the numeric argument of the first command (has_arg 1, iter N); without
  // one a command runs with has_arg 0 and iter 1.
  std::u16string buffer_text;
  int point = 0;
  bool has_arg = false;
  std::int32_t iter = 1;
  // Keys for the primitives that read keys (and the dispatch loop).
  std::vector<std::uint32_t> keys;
};

// Where the program's output goes; unset members write to the process's
// standard output and standard error.
struct Output {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
};

// A place in the program: a function and the file and line its debug
// records last gave (file empty without them).
struct Location {
  std::string function;  // as the source writes it
  std::string file;
  int line = 0;
};

struct Outcome {
  enum class Kind { returned, left, aborted, fault };
  Kind kind = Kind::returned;
  int status = 0;       // the exit status qxlrun ends with
  std::string message;  // for a fault: the one-line description
  // A fault: every active call, innermost first.  An abort (error() or
  // quick_abort() out of the run) or leave(): the call of the primitive,
  // alone.
  std::vector<Location> calls;
  // A fault: its description without the place; an abort: what error()
  // printed for it, without the newline ("" for quick_abort()).
  std::string text;
};

// A backtrace line: "  in f at a.q:12", or "  in f" without a file.
std::string backtrace_line(const Location& where);

// The backtrace of calls, innermost first, one line each, kept short for a
// deep recursion: a run of calls from the same place is one line and a
// line "  ... the same N more times"; beyond backtrace_head +
// backtrace_tail lines, the middle ones become "  ... N more lines".
inline constexpr std::size_t backtrace_head = 20;
inline constexpr std::size_t backtrace_tail = 10;
std::vector<std::string> backtrace_lines(const std::vector<Location>& calls);

Outcome run(const Program& program, const Options& options,
            const Output& output);

struct Machine;
// The steps of run() for a session of several calls in one machine:
// start_machine() sets up the globals, the built-in variables and the
// buffer; call_from_top() calls one function of the program as the editor
// calls a command (arguments zero, iter and has_arg from `iter` and
// `has_arg`), runs it to its end and tells how it ended.
void start_machine(Machine& m, const Program& program, const Options& options,
                   const Output& output);
Outcome call_from_top(Machine& m, std::size_t function, bool has_arg,
                      std::int32_t iter);

// ------------------------------------------------------------------------
// The machine's inside, shared with the primitives.

struct Fault {
  std::string message;
};
[[noreturn]] void fault(std::string message);

struct Ptr {
  std::uint32_t id = 0;
  std::int32_t offset = 0;
  std::uint32_t base = 0;
  bool null() const { return id == 0 && offset == 0; }
};

enum class SlotKind : std::uint8_t { word, large, address };

struct Slot {
  std::uint32_t value = 0;
  SlotKind kind = SlotKind::word;
  std::uint32_t count = 1;      // words of the value this word belongs to
  std::uint32_t index = 0;      // this word's place in it
  std::uint32_t load_size = 0;  // addresses: bytes OP_LOAD_LARGE reads
};

enum class ObjectKind : std::uint8_t {
  global,
  default_value,
  builtin,
  string,
  heap,
  local,
  environment,
};

struct Object {
  ObjectKind kind = ObjectKind::heap;
  bool live = false;
  bool read_only = false;
  std::uint32_t base = 0;
  std::uint32_t size = 0;
  std::vector<std::uint8_t> bytes;  // all but locals
  std::size_t stack_byte = 0;       // locals: byte position in the stack
  std::size_t owner = 0;            // global or built-in index
};

struct SavedVariable {
  std::vector<Slot> value;
  std::size_t restore_pc = 0;
  int spot = 0;  // save_spot: the spot that holds the position
};

enum class Phase : std::uint8_t {
  body,
  exit_handler,  // running an on_exit body while returning
  restore,       // running restore code while returning
  restore_vars,  // running restore code for the primitive restore_vars
};

struct Frame {
  std::size_t function = 0;
  std::size_t pc = 0;
  std::size_t fp = 0;         // stack index of local word 0
  std::size_t args_base = 0;  // stack index of the deepest argument word
  std::size_t locals_end = 0;
  std::uint8_t call_byte = 0;
  std::uint64_t serial = 0;
  std::uint32_t debug_file = 0xFFFFFFFF;
  int debug_line = 0;
  std::vector<std::size_t> handlers;  // on_exit bodies, oldest first
  std::vector<SavedVariable> saves;   // oldest first
  std::vector<std::uint32_t> views;   // objects of &local in this call
  Phase phase = Phase::body;
  bool returning = false;
  bool has_result = false;
  std::vector<Slot> result;
  std::size_t resume_pc = 0;  // restore_vars: where to go on
  std::size_t resume_sp = 0;
};

struct Spot {
  int position = 0;
  bool live = false;
  bool stays_left = false;  // an insertion at the spot goes after it
};

// The characters from start up to end have the color.
struct ColorRun {
  int start = 0;
  int end = 0;
  std::int32_t color = 0;
};

// The one buffer: its text in 16-bit characters, its spots and its
// character colors.  The point lives in the built-in variable `point`.
struct Buffer {
  std::u16string text;
  std::vector<Spot> spots;  // a spot value is its index + 1
  std::vector<ColorRun> colors;  // in order, apart, none empty
};

// Character colors move with the text: an insertion inside a run splits
// it (inserted text has no color), a deletion takes its part of each run.
void colors_inserted(Buffer& b, int at, int n);
void colors_deleted(Buffer& b, int from, int to);

// A jmp_buf that setjmp has set starts with this word, then the number of
// its jump point (index + 1).
inline constexpr std::uint32_t jump_magic = 0x4A4D5042;

struct JumpPoint {
  std::uint64_t frame_serial = 0;
  std::size_t depth = 0;  // frames.size() at setjmp
  std::size_t pc = 0;
  std::size_t sp = 0;  // after setjmp's result is popped
};

struct Machine {
  const Program* program = nullptr;
  Options options;
  Output output;

  std::vector<Slot> stack;
  std::vector<Frame> frames;
  std::vector<Object> objects;  // id 0 is never used
  std::vector<std::uint32_t> free_ids;
  std::uint64_t next_base = 0x10000;
  std::map<std::uint32_t, std::uint32_t> by_base;  // base -> id, live only

  std::vector<std::uint32_t> global_objects;   // by global index
  std::vector<std::uint32_t> default_objects;  // 0 unless buffer/window
  std::vector<std::uint32_t> builtin_objects;  // by built-in index
  std::vector<int> builtin_types;              // type code by index
  std::map<std::pair<std::size_t, std::uint32_t>, std::uint32_t> strings;
  std::map<std::string, std::uint32_t> environment;
  std::vector<std::string> color_classes;

  Buffer buffer;
  // Keys for the primitives that read keys, in order (qxlrun's --keys, in
  // the codes of tools/key_notation.h); next_key is the first not taken.
  std::vector<std::uint32_t> key_script;
  std::size_t next_key = 0;
  std::vector<JumpPoint> jump_points;
  std::int64_t heap_bytes = 0;

  std::uint64_t steps = 0;
  std::uint64_t frame_serial = 0;
  bool default_access = false;
  bool unwinding = false;
  std::size_t unwind_depth = 0;  // frames left standing when it ends
  std::size_t unwind_jump = 0;   // jump point index + 1, or 0 to abort
  std::int32_t unwind_value = 0;
  int abort_status = 1;
  Location abort_where;  // the last call of error() or quick_abort()
  std::string abort_text;  // and what that call printed on standard error
  std::string primitive_err;  // what the running primitive has printed there
  bool finished = false;
  Outcome outcome;
  std::vector<Slot> final_result;
  bool final_has_result = false;

  // Built-in variable indexes used by dedicated instructions.
  int point_index = -1, iter_index = -1, key_index = -1;
  int key_type_index = -1, cmd_len_index = -1, ungot_key_index = -1;
  int top_level_index = -1, errno_index = -1;

  // ---- objects and memory
  std::uint32_t new_object(ObjectKind kind, std::uint32_t size);
  void kill_object(std::uint32_t id);
  Ptr pointer_to(std::uint32_t id, std::int32_t offset = 0) const;
  // Checks an access of n bytes at p and returns the object.
  Object& check(const Ptr& p, std::uint64_t n, bool write,
                std::string_view what = {});
  void read(const Ptr& p, std::size_t n, std::uint8_t* out);
  void write(const Ptr& p, std::size_t n, const std::uint8_t* in);
  std::uint32_t read_u(const Ptr& p, std::size_t n);
  // Pushes the n bytes at p as a large value, its last word filled up with
  // zeros.
  void push_memory(const Ptr& p, std::size_t n);
  void write_u(const Ptr& p, std::size_t n, std::uint32_t v);
  std::uint32_t pointer_to_int(const Ptr& p) const;
  Ptr int_to_pointer(std::uint32_t v) const;
  std::string describe(const Object& o) const;
  std::uint32_t string_object(std::u16string_view text, bool read_only);

  // ---- strings in the program's memory: 16-bit units ending in 0
  std::u16string read_string(const Ptr& p, std::string_view what);
  void write_string(const Ptr& p, std::u16string_view s, bool terminate);

  // ---- stack
  void push(const Slot& s);
  void push_word(std::uint32_t v);
  void push_pointer(const Ptr& p);
  void push_address(const Ptr& p, std::uint32_t load_size);
  void push_large(const std::uint32_t* words, std::size_t n);
  const Slot& top() const;
  std::size_t top_value_words() const;
  std::uint32_t pop_scalar();
  Ptr pop_pointer();
  Ptr pop_address();
  std::vector<Slot> pop_value();
  void drop_top_value();

  // ---- buffer
  int point() const;
  void set_point(int position);
  void insert_text(std::u16string_view text);
  void delete_range(int from, int to);
  Spot& spot(std::uint32_t value);
  int new_spot(int position, bool stays_left);

  // ---- built-in variables
  std::uint32_t builtin_size(int index) const;
  // The object of a built-in variable by name; object 0 for none.
  Object& builtin_object(std::string_view name);
  void set_builtin_int(std::string_view name, std::int32_t value);
  std::int32_t builtin_int(std::string_view name);
  void load_builtin(int index);
  void store_builtin(int index);

  // ---- calls and control
  void call_function(std::size_t index, std::uint8_t call_byte);
  void call_primitive(int number, std::size_t& pc);
  void begin_return(bool has_result, std::vector<Slot> result);
  void continue_return();
  void finish_return();
  void handler_done();
  void start_restore_vars(std::size_t resume_pc);
  void start_unwind(std::size_t depth, std::size_t jump, std::int32_t value);
  void abort_run(int status);  // error(): to top_level or out of the run
  // Where frame `depth` (0 the outermost) is.
  Location location(std::size_t depth) const;

  void print_out(std::string_view text);
  void print_err(std::string_view text);

  // Runs instructions until the run is finished; execute() also turns an
  // operand cut off by the end of the code into a fault.
  void execute();
  void run_instructions();
};

// Runs one primitive: pops its arguments and pushes its result.  `words`
// is the argument word count (from the call byte of a variadic primitive,
// else the primitive's max_words).
void run_primitive(Machine& m, int number, int words, bool result_wanted,
                   std::size_t& pc);

// Whether qxlrun provides the primitive of this name.
bool primitive_implemented(std::string_view name);

// One line on what the primitive does in qxlrun; empty for one it lacks.
std::string_view primitive_behaviour(std::string_view name);

// printf-style formatting of the format's arguments, taken from `next`:
// next_int() and next_pointer() pop the next argument.
struct FormatArguments {
  std::function<std::int32_t()> next_int;
  std::function<std::u16string()> next_string;
};
std::u16string format_text(std::u16string_view format, FormatArguments& args);

std::string to_utf8(std::u16string_view text);
std::u16string from_utf8(std::string_view text);

}  // namespace qxl::run
