#include "codegen/code_buffer.h"

#include <gtest/gtest.h>

#include "bytecode/writer.h"
#include "bytecode/instructions.h"
#include "driver/options.h"
#include "source/preprocessor.h"
#include "test_support.h"
#include "types/types.h"

namespace qxl {
namespace {

// Each test works inside an open function record named "f"; the writer
// keeps its output in memory (standard-output mode).
class CodeBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_compiler_state();
    init_symbol_table();
    diagnostics.capture = &console_;
    settings.stdout_mode = 1;
    output_open("unused.b");
    reader.file_name = "c.q";
    reader.line_number = 1;
    open_function("f", false);
  }
  void TearDown() override { diagnostics.capture = nullptr; }

  // The code emitted so far, after the record's kind, name and header.
  ByteBuffer emitted() const {
    const FunctionCode& f = code.function;
    return ByteBuffer(f.bytes.begin() + static_cast<long>(f.code_start),
                      f.bytes.end());
  }
  ByteBuffer written() const {
    return ByteBuffer(writer.image.begin(),
                      writer.image.begin() +
                          static_cast<long>(writer.high_water));
  }
  // Runs body; returns the exit status it ended the compile with, or -1.
  template <typename Body>
  int status_of(Body&& body) {
    try {
      body();
    } catch (const CompileExit& exit) {
      return exit.status;
    }
    return -1;
  }
  static Symbol* name(const std::string& text) {
    lookup_symbol(text, tok::identifier);
    return symbols.current;
  }

  std::string console_;
};

// The short way that unchecked builds take for instructions whose operands
// are all numbers writes what the table's notation says, byte for byte as
// the general path does, and declines every other instruction.
TEST_F(CodeBufferTest, NumbersTakeTheShortWayExactlyAsTheGeneralPath) {
  const std::array<std::int64_t, 3> values = {-3, 0x1234, 0x7A6B5C4D};
  int fixed = 0;
  for (std::size_t number = 1; number < instruction_table.size(); ++number) {
    const auto opcode = static_cast<Opcode>(number);
    const auto& notation = instruction_table[number].operands;
    std::size_t count = 0;
    while (count < notation.size() && notation[count] != Operand::none)
      ++count;
    bool all_numbers = count > 0;
    std::array<OperandValue, 3> general{values[0], values[1], values[2]};
    for (std::size_t i = 0; i < count; ++i) {
      const Operand o = notation[i];
      all_numbers = all_numbers &&
                    (o == Operand::sbyte || o == Operand::ubyte ||
                     o == Operand::word16 || o == Operand::int32 ||
                     o == Operand::off32);
      // Values that fit each width, so that the checked path accepts them.
      if (o == Operand::sbyte) general[i] = OperandValue(values[0]);
      if (o == Operand::ubyte) general[i] = OperandValue(0xC8);
      if (o == Operand::word16) general[i] = OperandValue(values[1]);
      if (o == Operand::int32 || o == Operand::off32)
        general[i] = OperandValue(values[2]);
    }
    SCOPED_TRACE(std::string(instruction_table[number].name));
    const std::size_t start = code.function.bytes.size();
    bool took_short_way = false;
    if (count == 1)
      took_short_way = detail::emit_numbers<1>(opcode, {general[0].number});
    else if (count == 2)
      took_short_way = detail::emit_numbers<2>(
          opcode, {general[0].number, general[1].number});
    else if (count == 3)
      took_short_way = detail::emit_numbers<3>(
          opcode, {general[0].number, general[1].number, general[2].number});
    EXPECT_EQ(took_short_way, all_numbers);
    if (!took_short_way) {
      EXPECT_EQ(code.function.bytes.size(), start);
      continue;
    }
    ++fixed;
    const ByteBuffer short_way(code.function.bytes.begin() + long(start),
                               code.function.bytes.end());
    code.function.bytes.resize(start);
    emit_instruction(opcode, std::span(general.data(), count));
    const ByteBuffer general_way(code.function.bytes.begin() + long(start),
                                 code.function.bytes.end());
    EXPECT_EQ(short_way, general_way);
    code.function.bytes.resize(start);
  }
  EXPECT_GT(fixed, 15);
}

// The short ways for a lone jump or name reference leave exactly what the
// general path leaves: the code, the reference table and its names, and the
// jumps waiting for a label (patched alike when it is placed).
TEST_F(CodeBufferTest, LoneJumpsAndReferencesTakeTheShortWayExactly) {
  const int behind = new_label();
  place_label(behind);
  struct Result {
    ByteBuffer bytes, references, names;
  };
  const auto run = [&](Opcode opcode, bool short_way) {
    const bool jump = instruction_table[opcode].operands[0] == Operand::rel16;
    const int ahead = new_label();
    const std::size_t start = code.function.bytes.size();
    const std::size_t table_start = code.function.reference_table.size();
    const std::size_t names_start = code.function.names_area.size();
    for (int label : {behind, ahead}) {
      if (!jump) break;
      if (short_way) detail::emit_jump(opcode, label);
      else emit_instruction(opcode, std::array{OperandValue(Label{label})});
    }
    for (std::string_view name : {"a_b", "c"}) {
      if (jump) break;
      if (short_way) detail::emit_named_reference(opcode, Reference{name});
      else emit_instruction(opcode, std::array{OperandValue(Reference{name})});
    }
    place_label(ahead);
    FunctionCode& f = code.function;
    Result r{ByteBuffer(f.bytes.begin() + long(start), f.bytes.end()),
             ByteBuffer(f.reference_table.begin() + long(table_start),
                        f.reference_table.end()),
             ByteBuffer(f.names_area.begin() + long(names_start),
                        f.names_area.end())};
    f.bytes.resize(start);
    f.reference_table.resize(table_start);
    f.names_area.resize(names_start);
    f.reference_count = static_cast<int>(table_start / 2);
    return r;
  };
  for (Opcode opcode : {op::jump, op::jump_if_true, op::global_ref,
                        op::push_function}) {
    SCOPED_TRACE(std::string(instruction_table[opcode].name));
    const Result general = run(opcode, false);
    const Result short_way = run(opcode, true);
    EXPECT_EQ(short_way.bytes.size(), 6u);
    EXPECT_EQ(short_way.bytes, general.bytes);
    EXPECT_EQ(short_way.references, general.references);
    EXPECT_EQ(short_way.names, general.names);
  }
  // A backward jump and a forward one, each with its displacement; the
  // names go out with '-' for '_'.
  code.function.bytes.resize(code.function.code_start);
  detail::emit_jump(op::jump, behind);
  const int ahead = new_label();
  detail::emit_jump(op::jump, ahead);
  place_label(ahead);
  detail::emit_named_reference(op::global_ref, Reference{"a_b"});
  EXPECT_EQ(emitted(), (ByteBuffer{op::jump, 0xFD, 0xFF, op::jump, 0, 0,
                                   op::global_ref, 0, 0}));
  EXPECT_EQ(ByteBuffer(code.function.names_area.begin(),
                       code.function.names_area.end()),
            (ByteBuffer{'a', '-', 'b', 0}));
}

// The record's bytes survive every growth of their storage, however they
// were written, and a resize fills only what it adds.
TEST_F(CodeBufferTest, CodeBytesKeepTheirContentAcrossGrowth) {
  CodeBytes bytes;
  ByteBuffer expected;
  for (int i = 0; i < 5000; ++i) {
    const auto b = static_cast<std::uint8_t>(i * 7);
    switch (i % 4) {
      case 0: bytes.push_back(b); expected.push_back(b); break;
      case 1: put_u16(bytes, 0x100u * b + 1); put_u16(expected, 0x100u * b + 1); break;
      case 2: put_u32(bytes, 0x01020304u * b); put_u32(expected, 0x01020304u * b); break;
      case 3: put_name(bytes, "a_b"); put_name(expected, "a_b"); break;
    }
  }
  EXPECT_EQ(ByteBuffer(bytes.begin(), bytes.end()), expected);
  bytes.resize(3);
  bytes.resize(6, 0xEE);
  EXPECT_EQ(ByteBuffer(bytes.begin(), bytes.end()),
            (ByteBuffer{expected[0], expected[1], expected[2], 0xEE, 0xEE, 0xEE}));
  const std::uint8_t tail[] = {1, 2, 3};
  bytes.clear();
  bytes.append(tail, 3);
  bytes.append(tail, 0);
  EXPECT_EQ(ByteBuffer(bytes.begin(), bytes.end()), (ByteBuffer{1, 2, 3}));
}

// A symbol's reference name is worked out once, as the file writes names,
// and a reference given it encoded leaves the same record as one given the
// plain name.  Facts left from before a reset of the code buffer are not
// taken for the symbol's.
TEST_F(CodeBufferTest, ReferenceNamesAreEncodedOnceAndWrittenAlike) {
  Symbol* s = name("to_do_it");
  const std::string_view encoded = reference_name_of(s);
  EXPECT_EQ(encoded, std::string_view("to-do-it\0", 9));
  EXPECT_EQ(reference_name_of(s).data(), encoded.data());
  emit(op::call, Reference{encoded, true}, call_byte(0, false));
  emit(op::global_ref, Reference{encoded, true});
  const ByteBuffer short_code = emitted();
  const FunctionCode& f = code.function;
  const ByteBuffer short_names(f.names_area.begin(), f.names_area.end());
  const ByteBuffer short_table(f.reference_table.begin(),
                               f.reference_table.end());
  open_function("f", false);
  emit(op::call, Reference{"to_do_it"}, call_byte(0, false));
  emit(op::global_ref, Reference{"to_do_it"});
  EXPECT_EQ(emitted(), short_code);
  EXPECT_EQ(ByteBuffer(f.names_area.begin(), f.names_area.end()), short_names);
  EXPECT_EQ(ByteBuffer(f.reference_table.begin(), f.reference_table.end()),
            short_table);

  // Names of every length around the word size, copied a word at a time,
  // leave the names area exactly as plain names do.
  open_function("f", false);
  ByteBuffer expected_names;
  std::string text;
  for (int n = 1; n <= 20; ++n) {
    text += n % 3 == 0 ? '_' : static_cast<char>('a' + n);
    emit(op::global_ref, Reference{reference_name_of(name(text)), true});
    put_name(expected_names, text);
  }
  EXPECT_EQ(ByteBuffer(f.names_area.begin(), f.names_area.end()),
            expected_names);

  facts_of(s).value = 42;
  facts_of(s).has_value = true;
  code.reset();
  const SymbolFacts& fresh = facts_of(s);
  EXPECT_EQ(fresh.symbol, s);
  EXPECT_FALSE(fresh.has_value);
  EXPECT_FALSE(fresh.has_reference_name);
  Symbol* other = name("other");
  EXPECT_NE(&facts_of(other), &facts_of(s));
  EXPECT_EQ(facts_of(other).symbol, other);
}

// A call's name and call byte take a short way that writes what the
// general path writes; no other instruction takes it.
TEST_F(CodeBufferTest, CallsTakeTheShortWayExactly) {
  const std::size_t start = code.function.bytes.size();
  ASSERT_TRUE(detail::emit_reference_and_byte(op::call, Reference{"do_it"},
                                              call_byte(3, true)));
  const ByteBuffer short_way(code.function.bytes.begin() + long(start),
                             code.function.bytes.end());
  const ByteBuffer short_names(code.function.names_area.begin(),
                               code.function.names_area.end());
  open_function("f", false);
  emit_instruction(op::call, std::array{OperandValue(Reference{"do_it"}),
                                        OperandValue(call_byte(3, true))});
  EXPECT_EQ(emitted(), short_way);
  EXPECT_EQ(short_way.size(), 4u);
  EXPECT_EQ(ByteBuffer(code.function.names_area.begin(),
                       code.function.names_area.end()),
            short_names);
  const std::size_t before = code.function.bytes.size();
  EXPECT_FALSE(detail::emit_reference_and_byte(op::global_ref,
                                               Reference{"x"}, 1));
  EXPECT_FALSE(detail::emit_reference_and_byte(op::push_i8, Reference{"x"}, 1));
  EXPECT_FALSE(detail::emit_reference_and_byte(op::call_indirect,
                                               Reference{"x"}, 1));
  EXPECT_EQ(code.function.bytes.size(), before);
  EXPECT_EQ(code.function.reference_count, 1);
}

TEST_F(CodeBufferTest, ConstantsTakeTheShortestPush) {
  emit_constant(0);
  emit_constant(127);
  emit_constant(-128);
  emit_constant(128);
  emit_constant(-129);
  EXPECT_EQ(emitted(), (ByteBuffer{72, 1, 127, 1, 128, 2, 128, 0, 0, 0,  //
                                   2, 127, 255, 255, 255}));
}

TEST_F(CodeBufferTest, SizedAppendersAndLoadsBySize) {
  detail::emit_sized(0x11223344, 1);
  detail::emit_sized(0x11223344, 3);
  detail::emit_sized(0x11223344, 4);
  EXPECT_EQ(emitted(), (ByteBuffer{0x44, 0x44, 0x33, 0x44, 0x33, 0x22, 0x11}));
  code.function.bytes.resize(code.function.code_start);
  for (int size : {1, 2, 3, 4, 5, 12}) emit_load(size);
  for (int size : {0, 2, 4, 6}) emit_store(size);
  emit_pop(type_int);
  emit_pop(type_char_ptr);
  emit_dup(type_byte);
  emit_dup(make_type(TypeKind::pointer, type_int, 2));
  EXPECT_EQ(emitted(), (ByteBuffer{op::load_1, op::load_2, op::load_4,
                                   op::load_4, op::load_large, op::load_large,
                                   op::store_1, op::store_2, op::store_4,
                                   op::store_large, op::pop, op::pop_large,
                                   op::dup, op::dup_large}));
}

TEST_F(CodeBufferTest, ForwardJumpsArePatchedWhenTheLabelIsPlaced) {
  const int label = new_label();
  emit(op::jump, Label{label});            // at 0, operand at 1
  emit(op::jump_if_false, Label{label});   // at 3, operand at 4
  EXPECT_EQ(emitted(), (ByteBuffer{6, 120, 120, 8, 120, 120}));
  emit(op::pop);
  place_label(label);                     // at 7
  EXPECT_EQ(emitted(), (ByteBuffer{6, 4, 0, 8, 1, 0, op::pop}));
  // Jumps to the instruction right after them have displacement 0.
  const int next = new_label();
  emit(op::jump, Label{next});
  place_label(next);
  EXPECT_EQ(emitted()[8], 0);
  EXPECT_EQ(emitted()[9], 0);
}

TEST_F(CodeBufferTest, BackwardJumpsGetTheirDisplacementAtOnce) {
  const int top = new_label();
  place_label(top);
  emit(op::jump, Label{top});  // a jump to itself
  EXPECT_EQ(emitted(), (ByteBuffer{6, 0xFD, 0xFF}));
}

TEST_F(CodeBufferTest, DisplacementsMustFitIn16Bits) {
  const int top = new_label();
  place_label(top);
  code.function.bytes.resize(code.function.bytes.size() + 32765, op::pop);
  emit(op::jump, Label{top});  // -32768: still fits
  EXPECT_EQ(emitted()[32766], 0x00);
  EXPECT_EQ(emitted()[32767], 0x80);
  emit(op::pop);
  EXPECT_EQ(status_of([&] { emit(op::jump, Label{top}); }), 1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

TEST_F(CodeBufferTest, ForwardDisplacementLimit) {
  const int label = new_label();
  emit(op::jump, Label{label});
  code.function.bytes.resize(code.function.bytes.size() + 32768, op::pop);
  EXPECT_EQ(status_of([&] { place_label(label); }), 1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

TEST_F(CodeBufferTest, BreakAndContinueNestAndRestore) {
  EXPECT_EQ(status_of([] { emit_loop_jump(code.function.break_label); }), 1);
  EXPECT_EQ(console_, "c.q 1: no surrounding loop\n");
  console_.clear();
  const int outer = push_break_label();
  const int inner = push_break_label();
  EXPECT_NE(outer, inner);
  EXPECT_EQ(code.function.break_label, inner);
  pop_break_label();
  EXPECT_EQ(code.function.break_label, outer);
  pop_break_label();
  EXPECT_EQ(code.function.break_label, 0);
  // Nesting far deeper than the fixed stacks of old.
  for (int i = 0; i < 200; ++i) push_continue_label();
  for (int i = 0; i < 200; ++i) pop_continue_label();
  EXPECT_EQ(code.function.continue_label, 0);
}

TEST_F(CodeBufferTest, EmptySwitchTable) {
  open_switch();
  close_switch();
  EXPECT_EQ(emitted(), (ByteBuffer{75, 0, 0}));
}

TEST_F(CodeBufferTest, SwitchTableCountsFromItsEnd) {
  const int end = new_label();
  open_switch();
  add_case(1);        // label at 0
  emit(op::jump, Label{end});
  add_case(-2);       // at 3
  add_default();      // at 3
  emit(op::pop);
  close_switch();     // table at 4..18, then a jump to the default
  place_label(end);   // at 22
  EXPECT_EQ(emitted(),
            (ByteBuffer{6, 19, 0,                    // jump to end: 22 - 3
                        op::pop,                     // case -2, default
                        75, 2, 0,                    // two entries
                        0xED, 0xFF, 1, 0, 0, 0,      // 0 - 19 = -19
                        0xF0, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF,  // 3 - 19
                        6, 0xED, 0xFF}));            // jump to 3: 3 - 22
}

TEST_F(CodeBufferTest, NestedSwitchesKeepTheirOwnCases) {
  open_switch();
  add_case(1);
  open_switch();
  add_case(1);  // the same value in an inner switch is fine
  close_switch();
  add_case(2);
  close_switch();
  EXPECT_TRUE(code.function.case_values.empty());
  EXPECT_TRUE(code.function.switch_stack.empty());
}

TEST_F(CodeBufferTest, DuplicateCasesAreFoundWhenTheSwitchCloses) {
  open_switch();
  add_case(1);
  add_case(2);
  add_case(1);
  EXPECT_TRUE(console_.empty());
  EXPECT_EQ(status_of([] { close_switch(); }), 1);
  EXPECT_EQ(console_, "c.q 1: duplicate case values in switch\n");
}

TEST_F(CodeBufferTest, CaseAndDefaultErrors) {
  EXPECT_EQ(status_of([] { add_case(1); }), 1);
  EXPECT_EQ(status_of([] { add_default(); }), 1);
  open_switch();
  add_default();
  EXPECT_EQ(status_of([] { add_default(); }), 1);
  EXPECT_EQ(console_,
            "c.q 1: case statement invalid outside switch\n"
            "c.q 1: default statement invalid outside switch\n"
            "c.q 1: duplicate default in case\n");
}

TEST_F(CodeBufferTest, NamedLabels) {
  Symbol* again = name("again");
  const int label = refer_to_label(again);
  emit(op::jump, Label{label});
  EXPECT_EQ(refer_to_label(again), label);
  define_label(again);
  EXPECT_EQ(emitted(), (ByteBuffer{6, 0, 0}));
  check_labels();
  EXPECT_EQ(status_of([&] { define_label(again); }), 1);
  EXPECT_EQ(console_, "c.q 1: label again redefined\n");
}

TEST_F(CodeBufferTest, UndefinedLabelIsFoundAtTheEnd) {
  refer_to_label(name("nowhere"));
  EXPECT_EQ(status_of([] { close_function(0); }), 1);
  EXPECT_EQ(console_, "c.q 1: label nowhere undefined at end of function\n");
}

TEST_F(CodeBufferTest, FortyNineNamedLabelsAtMost) {
  for (int i = 0; i < max_named_labels; ++i)
    define_label(name(std::string("l").append(std::to_string(i))));
  EXPECT_EQ(status_of([&] { refer_to_label(name("one_more")); }), 1);
  EXPECT_EQ(console_, "c.q 1: too many named labels\n");
}

TEST_F(CodeBufferTest, DebugRecordsOnlyWhenThePositionChanges) {
  emit_debug_record(false);
  emit_debug_record(false);  // same file and line: nothing
  reader.line_number = 2;
  emit_debug_record(false);
  reader.file_name = "inc.h";
  emit_debug_record(false);
  reader.file_name = "c.q";
  emit_debug_record(true);
  EXPECT_EQ(emitted(), (ByteBuffer{59, 0, 0, 0, 0, 60, 1, 0,  //
                                   60, 2, 0,                  //
                                   59, 8, 0, 0, 0,            //
                                   59, 0, 0, 0, 0, 60, 2, 0}));
  EXPECT_EQ(writer.debug_names.size(), 8u + 10u);
}

TEST_F(CodeBufferTest, NoDebugRecordsWithS) {
  settings.no_debug_info = 1;
  emit_debug_record(true);
  EXPECT_TRUE(emitted().empty());
  EXPECT_TRUE(writer.debug_names.empty());
}

TEST_F(CodeBufferTest, Bindings) {
  EXPECT_EQ(status_of([] { add_binding(1, -5); }), 1);
  EXPECT_EQ(console_, "c.q 1: invalid key code number -5\n");
  console_.clear();
  add_binding(0x103, 0x12345);
  EXPECT_EQ(code.function.bindings, (ByteBuffer{25, 3, 0x45, 0x23, 1, 0}));
  for (int i = 1; i < max_bindings; ++i) add_binding(1, i);
  EXPECT_EQ(status_of([] { add_binding(1, 99); }), 1);
  EXPECT_EQ(console_, "c.q 1: function has too many bindings\n");
}

TEST_F(CodeBufferTest, CompleteFunctionRecord) {
  open_function("foo_bar", true);
  emit_debug_record(true);
  emit(op::call, Reference{"do_it"}, call_byte(0, false));
  emit(op::global_ref, Reference{"do_it"});
  emit_load(4);
  emit(op::pop);
  code.function.max_frame_words = 3;
  add_binding(2, 'a');
  close_function(5);

  ByteBuffer expected{17, 'f', 'o', 'o', '-', 'b', 'a', 'r', 0};
  const ByteBuffer body{59, 0, 0, 0, 0, 60, 1, 0,  // debug file and line
                        9, 0, 0, 0x00,             // call do-it, 0 words
                        40, 0, 0,                  // global ref do-it
                        51, 55, 12};               // load, pop, return
  put_u32(expected, static_cast<std::uint32_t>(body.size() + 4));
  put_u16(expected, 2 * 2 + 2 * 6);  // two references, "do-it\0" twice
  put_u16(expected, 2);
  put_u16(expected, 5);
  put_u16(expected, 3);
  expected.insert(expected.end(), body.begin(), body.end());
  put_u16(expected, 9);   // offset of the first placeholder in the code
  put_u16(expected, 13);  // and of the second
  for (int i = 0; i < 2; ++i) put_name(expected, "do_it");
  expected.insert(expected.end(), {25, 2, 'a', 0, 0, 0});
  EXPECT_EQ(written(), expected);
  EXPECT_TRUE(writer.function_written);
}

TEST_F(CodeBufferTest, FunctionsInIncludedFilesAreLeftOutUnderE) {
  settings.exclude_headers = 1;
  preprocessor.include_stack.emplace_back();
  open_function("f", false);
  preprocessor.include_stack.clear();
  close_function(0);
  EXPECT_TRUE(written().empty());
  EXPECT_TRUE(writer.function_written);
}

TEST_F(CodeBufferTest, HeaderFieldsMustFit16Bits) {
  EXPECT_EQ(status_of([] { close_function(70000); }), 1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

TEST_F(CodeBufferTest, ReferencesPast64KOfCodeAreALimit) {
  code.function.bytes.resize(code.function.code_start + 65536, op::pop);
  EXPECT_EQ(status_of([] { emit(op::global_ref, Reference{"far"}); }), 1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

}  // namespace
}  // namespace qxl

namespace qxl {
namespace {

TEST_F(CodeBufferTest, LocalAccessBySizeAndOffset) {
  Type* function_pointer =
      make_type(TypeKind::pointer, make_type(TypeKind::function, type_int, 0), 0);
  emit_load_local(200, type_char);          // 91, 6, 200, 0
  emit_load_local(5, type_byte);            // 91, 0, 5
  emit_store_local(7, type_short);          // 92, 1, 7
  emit_load_local(3, function_pointer);     // 91, 2, 3
  emit_load_local(-4, type_char);           // parameters are whole words
  emit_store_local(127, type_int);
  emit_load_local(128, type_int);
  emit_load_local(-6, type_char_ptr);
  emit_store_local(300, type_char_ptr);
  EXPECT_EQ(emitted(),
            (ByteBuffer{91, 6, 200, 0,  91, 0, 5,  92, 1, 7,  91, 2, 3,  //
                        30, 0xFC,  31, 127,  79, 128, 0,                //
                        32, 0xFA,  82, 44, 1}));
  EXPECT_EQ(status_of([] { emit_load_local(-129, type_int); }), 1);
}

TEST_F(CodeBufferTest, PrimitiveCalls) {
  emit_primitive_call(95);
  emit_primitive_call(245);
  emit_primitive_call(512);
  emit_primitive_call(726);
  EXPECT_EQ(emitted(), (ByteBuffer{95, 245, 86, 0, 86, 214}));
}

}  // namespace
}  // namespace qxl

namespace qxl {
namespace {

// Operands that fit each notation, and the bytes emit() writes for them.
struct Sample {
  OperandValue value;
  std::size_t width;
};

const RestoreCode nothing_to_restore{[] {}};
const SwitchCases no_cases{};

Sample sample_for(Operand notation, int label) {
  switch (notation) {
    case Operand::sbyte: return {-5, 1};
    case Operand::ubyte: return {200, 1};
    case Operand::word16: return {40000, 2};
    case Operand::int32: return {-70000, 4};
    case Operand::off32: return {std::uint32_t{3000000000u}, 4};
    case Operand::rel16: return {Label{label}, 2};
    case Operand::nameref: return {Reference{"x"}, 2};
    case Operand::name: return {InPlaceName{"x"}, 2};
    case Operand::switch_table: return {no_cases, 2};
    // The length byte and OP_END_HANDLER.
    case Operand::restore_code: return {nothing_to_restore, 2};
    // After the ubyte sample (200: bit 2 clear), one signed byte.
    case Operand::narrow_offset: return {-3, 1};
    case Operand::none: break;
  }
  return {0, 0};
}

TEST_F(CodeBufferTest, EveryInstructionTakesTheOperandsOfItsNotation) {
  const int label = new_label();
  place_label(label);
  for (std::size_t number = 1; number < instruction_count; ++number) {
    const auto opcode = static_cast<Opcode>(number);
    const Instruction& row = instruction_table[number];
    std::vector<OperandValue> operands;
    std::size_t length = 1;
    for (Operand notation : row.operands) {
      if (notation == Operand::none) break;
      const Sample sample = sample_for(notation, label);
      operands.push_back(sample.value);
      length += sample.width;
    }
    EXPECT_TRUE(operands_fit(opcode, operands)) << row.name;

    const std::size_t before = code.function.bytes.size();
    emit_instruction(opcode, operands);
    EXPECT_EQ(code.function.bytes.size() - before, length) << row.name;
    EXPECT_EQ(code.function.bytes[before], number);

    // One operand more, or one fewer, is not the notation.
    std::vector<OperandValue> more = operands;
    more.push_back(0);
    EXPECT_FALSE(operands_fit(opcode, more)) << row.name;
    if (!operands.empty()) {
      operands.pop_back();
      EXPECT_FALSE(operands_fit(opcode, operands)) << row.name;
    }
  }
}

TEST_F(CodeBufferTest, OperandsOutsideTheirWidthOrOfAnotherFormDoNotFit) {
  const auto fits = [](Opcode opcode, std::vector<OperandValue> operands) {
    return operands_fit(opcode, operands);
  };
  // Widths, at both ends.
  EXPECT_TRUE(fits(op::push_i8, {-128}));
  EXPECT_TRUE(fits(op::push_i8, {127}));
  EXPECT_FALSE(fits(op::push_i8, {128}));
  EXPECT_FALSE(fits(op::push_i8, {-129}));
  EXPECT_TRUE(fits(op::load_builtin, {255}));
  EXPECT_FALSE(fits(op::load_builtin, {256}));
  EXPECT_FALSE(fits(op::load_builtin, {-1}));
  EXPECT_TRUE(fits(op::debug_line, {0xFFFF}));
  EXPECT_FALSE(fits(op::debug_line, {0x10000}));
  EXPECT_FALSE(fits(op::load_local_wide, {-1}));
  EXPECT_FALSE(fits(op::push_i32, {std::int64_t{1} << 31}));
  EXPECT_TRUE(fits(op::push_i32, {-(std::int64_t{1} << 31)}));
  EXPECT_TRUE(fits(op::push_string, {std::uint32_t{0xFFFFFFFF}}));
  EXPECT_FALSE(fits(op::push_string, {std::int64_t{1} << 32}));
  EXPECT_FALSE(fits(op::addr_local, {1, -1}));
  // The offset of a narrow access is as wide as its kind byte says.
  EXPECT_TRUE(fits(op::load_local_narrow, {narrow::char_value, 127}));
  EXPECT_FALSE(fits(op::load_local_narrow, {narrow::char_value, 200}));
  EXPECT_TRUE(fits(op::store_local_narrow,
                   {narrow::char_value | narrow::wide_offset, 200}));
  EXPECT_FALSE(fits(op::store_local_narrow,
                    {narrow::byte_value | narrow::wide_offset, -1}));
  // Forms.
  EXPECT_FALSE(fits(op::jump, {6}));
  EXPECT_FALSE(fits(op::jump, {Label{0}}));
  EXPECT_FALSE(fits(op::push_i8, {Label{1}}));
  EXPECT_FALSE(fits(op::global_ref, {InPlaceName{"x"}}));
  EXPECT_FALSE(fits(op::push_color_class, {Reference{"x"}}));
  EXPECT_FALSE(fits(op::call, {0, Reference{"f"}}));
  EXPECT_FALSE(fits(op::save_var, {1, RestoreCode{}}));
  const std::int32_t values[] = {1, 2};
  const int labels[] = {1};
  EXPECT_FALSE(fits(op::switch_, {SwitchCases{values, labels}}));
  // Numbers that are not instructions.
  EXPECT_FALSE(fits(op::none, {}));
  EXPECT_FALSE(fits(static_cast<Opcode>(instruction_count), {}));
  EXPECT_FALSE(fits(static_cast<Opcode>(op::first_primitive), {}));
}

TEST_F(CodeBufferTest, AMismatchStopsTheCompileWhenEmitIsChecked) {
  if (!emit_is_checked()) GTEST_SKIP() << "built without QXL_CHECK_EMIT";
  EXPECT_EQ(status_of([] { emit(op::push_i8, 300); }), 1);
  EXPECT_EQ(status_of([] { emit(op::add, 1); }), 1);
  EXPECT_EQ(status_of([] { emit_primitive_call(300); }), 1);
  EXPECT_EQ(console_,
            "c.q 1: compiler bug: operands of OP_PUSH_I8 do not fit its "
            "notation\n"
            "c.q 1: compiler bug: operands of OP_ADD do not fit its notation\n"
            "c.q 1: compiler bug: no primitive has number 300\n");
  EXPECT_TRUE(emitted().empty());
}

TEST_F(CodeBufferTest, RestoreCodeIsCountedAndEndsTheHandler) {
  emit(op::save_var, 0x21, RestoreCode{[] { emit(op::store_4); }});
  EXPECT_EQ(emitted(), (ByteBuffer{36, 0x21, 2, op::store_4, op::end_handler}));
  code.function.bytes.resize(code.function.code_start);
  emit(op::save_var, 1, RestoreCode{[] {
         for (int i = 0; i < 254; ++i) emit(op::pop);
       }});
  EXPECT_EQ(emitted()[2], 255);
  EXPECT_EQ(status_of([] {
              emit(op::save_var, 1, RestoreCode{[] {
                     for (int i = 0; i < 255; ++i) emit(op::pop);
                   }});
            }),
            1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

TEST_F(CodeBufferTest, AddressesOfLocalsAndBuiltinsTakeTheWideFormPast127) {
  emit_local_address(5, 4, true);
  emit_local_address(-3, 12, true);
  emit_local_address(7, 2, false);
  emit_local_address(200, 4, true);
  emit_local_address(128, 4, false);
  EXPECT_EQ(emitted(), (ByteBuffer{38, 5, 4, 0, 0, 0,        //
                                   38, 0xFD, 12, 0, 0, 0,    //
                                   39, 7, 2, 0, 0, 0,        //
                                   83, 200, 0, 4, 0, 0, 0,   //
                                   83, 128, 0, 4, 0, 0, 0}));
  EXPECT_EQ(status_of([] { emit_local_address(0x10000, 4, true); }), 1);
  EXPECT_EQ(console_, "c.q 1: compiler limit exceeded\n");
}

TEST_F(CodeBufferTest, VariadicPrimitivesTakeTheCallByte) {
  emit_variadic_primitive_call(100, call_byte(3, true));
  emit_variadic_primitive_call(513, call_byte(0, false));
  EXPECT_EQ(emitted(), (ByteBuffer{100, 0x83, 86, 1, 0}));
}

}  // namespace
}  // namespace qxl

namespace qxl {
namespace {

// A function left open with something of every kind of per-function
// state: the next one's record must be as if it had never been.
TEST_F(CodeBufferTest, NothingOfAFunctionReachesTheNext) {
  const auto record_of_g = [this] {
    open_function("g", false);
    const int label = new_label();
    emit(op::jump, Label{label});
    place_label(label);
    EXPECT_EQ(status_of([] { close_function(0); }), -1) << console_;
    return written();
  };
  const ByteBuffer alone = record_of_g();

  SetUp();
  const int pending = new_label();
  emit(op::jump, Label{pending});
  push_break_label();
  push_continue_label();
  open_switch();
  add_case(1);
  refer_to_label(name("later"));
  emit(op::call, Reference{"h"}, call_byte(0, false));
  add_binding(1, 'x');
  code.function.frame_words = 7;
  code.function.max_frame_words = 9;

  open_function("g", false);
  EXPECT_EQ(new_label(), 1);
  EXPECT_EQ(status_of([] { emit_loop_jump(code.function.break_label); }), 1);
  EXPECT_EQ(status_of([] { emit_loop_jump(code.function.continue_label); }),
            1);
  EXPECT_EQ(status_of([] { add_case(2); }), 1);
  EXPECT_EQ(console_,
            "c.q 1: no surrounding loop\n"
            "c.q 1: no surrounding loop\n"
            "c.q 1: case statement invalid outside switch\n");
  EXPECT_EQ(code.function.frame_words, 0);

  // No named label, reference, binding or frame size of f in g's record.
  SetUp();
  refer_to_label(name("later"));
  emit(op::call, Reference{"h"}, call_byte(0, false));
  add_binding(1, 'x');
  code.function.max_frame_words = 9;
  EXPECT_EQ(record_of_g(), alone);
}

}  // namespace
}  // namespace qxl
