// Editor sessions for qxlrun: the buffer read from and written to a file,
// a script of keys replayed through the program's key tables as the
// editor's main loop does, and the test runner that calls every test_
// function in a fresh machine and reports in TAP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/run/machine.h"
#include "tools/run/program.h"

namespace qxl::run {

// ---- the buffer's file

// The text of a buffer file as the compiler reads a source: UTF-8 after a
// byte-order mark (a byte that is not part of a well-formed character
// stands for itself), else one character per byte (Latin-1).
std::u16string decode_buffer_file(std::string_view bytes);

// The buffer as written back: UTF-8 without a byte-order mark, every
// character as it is (a surrogate pair as its one character, a lone
// surrogate as U+FFFD).
std::string encode_buffer_file(std::u16string_view text);

// ---- key scripts

// Reads a key script: words of the key notation separated by blanks (any
// of space, tab, newline, carriage return).  On an unknown word returns
// it and leaves `keys` with the keys before it.
std::optional<std::string> parse_key_script(std::string_view text,
                                            std::vector<std::uint32_t>& keys);

// ---- dispatch

// A prefix key: in table `from`, `key` makes the next key be looked up in
// table `to`.  The bytecode binds keys to functions only, so prefixes come
// from qxlrun's command line.
struct PrefixKey {
  std::size_t from = 0;
  std::uint32_t key = 0;
  std::size_t to = 0;
};

struct DispatchSettings {
  std::size_t root = 0;  // the key table each key sequence starts in
  std::vector<PrefixKey> prefixes;
};

// Whether a key that nothing binds inserts itself: a character key other
// than a control key and Del.
bool inserts_itself(std::uint32_t key);

// Takes keys from m.key_script (at m.next_key) until it is used up.  Each
// key is looked up in the current table: a prefix moves to its table, a
// binding to a command runs the command (key and full_key set to the
// key, prev_cmd to the last this_cmd, this_cmd to 0, has_arg and iter
// from the numeric argument for the first command, else 0 and 1), a
// character key with no binding in the root table is inserted, and
// anything else ends the session with a fault naming the keys.  A command
// that reads keys takes them from the same script.  A command ended by
// error() or quick_abort() ends only itself, as in the editor; the outcome
// is then `aborted` with status 1 once the keys are used up.  A fault or
// leave() ends the session.
Outcome dispatch_keys(Machine& m, const DispatchSettings& settings,
                      bool has_arg, std::int32_t iter);

// ---- tests

// The functions whose names begin with test_, of the files whose indexes
// are given, in the order of the files and of the functions in them.
std::vector<std::size_t> find_tests(const Program& program,
                                    const std::vector<std::size_t>& files);

// Runs each test in a fresh machine and writes TAP version 13 through
// `out`: the version line, the plan, and "ok N - name" or "not ok N -
// name" with a YAML block of message, file and line (and the backtrace of
// a fault).  What a test prints comes before its result line, each line
// as a "# " comment.  Returns the number of tests that failed.
std::size_t run_tests(const Program& program,
                      const std::vector<std::size_t>& tests,
                      const Options& options,
                      const std::function<void(std::string_view)>& out);

// A YAML scalar in double quotes: '"' and '\' escaped, control
// characters as \n, \t or \xNN.
std::string yaml_quoted(std::string_view text);

}  // namespace qxl::run
