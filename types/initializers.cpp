#include "types/initializers.h"

#include "codegen/constant_eval.h"
#include "driver/diagnostics.h"
#include "source/constants.h"
#include "source/lexer.h"
#include "types/expressions.h"
#include "types/types.h"

namespace qxl {

namespace {

constexpr std::size_t null_pointer_size = 12;

bool is_plain_data_pointer(const Type* t) {
  return t->kind == TypeKind::pointer && t->count == 0 && is_data_pointer(t);
}

bool is_integer_scalar(const Type* t) {
  return t->kind == TypeKind::int_ || t->kind == TypeKind::spot ||
         t->kind == TypeKind::byte || t->kind == TypeKind::short_ ||
         t->kind == TypeKind::char_;
}

std::int32_t constant_element() {
  return evaluate_and_release(parse_assignment_expression());
}

void append_zeros(ByteBuffer& image, std::int64_t count) {
  image.insert(image.end(), static_cast<std::size_t>(count), 0);
}

void append_value(ByteBuffer& image, const Type* t, std::int32_t value) {
  const std::int64_t size = rounded_size(t);
  auto bits = static_cast<std::uint32_t>(value);
  for (std::int64_t i = 0; i < size; ++i, bits >>= 8)
    image.push_back(static_cast<std::uint8_t>(bits));
}

void append_null_pointer(ByteBuffer& image, std::int32_t value) {
  if (value != 0) report_error("can't initialize pointer to non-zero value");
  append_zeros(image, null_pointer_size);
}

// initializer_list = initializer ("," initializer)* ","?
// After an element: "," (perhaps before a closing "}") goes on with the
// next element; "}" ends the list and stays current for whoever owns it.
// In a list without braces of its own, the enclosing list owns the "}".
bool list_continues() {
  if (lexer.current_token == tok::comma) {
    next_token();
    return lexer.current_token != tok::rbrace;
  }
  if (lexer.current_token != tok::rbrace) report_error("bad initialization");
  return false;
}

// struct_list = initializer_list, one initializer for each member at most;
// without braces of its own it ends with the last member.
void initialize_structure(ByteBuffer& image, Type* t, bool braced) {
  const Member* member = t->members;
  while (member != nullptr) {
    initialize(image, member->type, false);
    member = member->next;
    if (member == nullptr && !braced) break;
    if (!list_continues()) break;
    if (member == nullptr) report_error("too many initializers");
  }
  // Members not given are zeros as long as their images would be.
  for (; member != nullptr; member = member->next)
    append_zeros(image, type_size(member->type, false));
}

// array_list = initializer_list, as many initializers as the count at most
// (any number for an open array); without braces it ends when full.
void initialize_array(ByteBuffer& image, Type* t, bool braced) {
  const std::int32_t count = t->count;
  std::int32_t given = 0;
  for (;;) {
    if (count != -1 && given == count) report_error("too many initializers");
    initialize(image, t->sub, false);
    ++given;
    if (!braced && given == count) break;
    if (!list_continues()) break;
  }
  if (count == -1)
    t->count = given;
  else
    append_zeros(image, static_cast<std::int64_t>(count - given) *
                            type_size(t->sub, false));
}

}  // namespace

// scalar_initializer = "{" scalar_initializer "}" | assignment_expression
// The expression is a constant; a pointer takes only 0.
void initialize_scalar(ByteBuffer& image, Type* t) {
  if (lexer.current_token == tok::lbrace) {
    next_token();
    initialize_scalar(image, t);
    expect_token(tok::rbrace);
    return;
  }
  const std::int32_t value = constant_element();
  if (is_plain_data_pointer(t))
    append_null_pointer(image, value);
  else
    append_value(image, t, value);
}

// initializer = string+ | scalar_initializer
//     | "{" (struct_list | array_list) "}" | struct_list | array_list
// Strings only for a char array; the lists without braces only when nested.
void initialize(ByteBuffer& image, Type* t, bool top) {
  if (lexer.current_token == tok::string_const && is_array(t) &&
      t->sub == type_char) {
    const std::int32_t written = emit_char_array_string(image, t->count);
    if (t->count == -1)
      t->count = written;
    else
      append_zeros(image, 2 * static_cast<std::int64_t>(t->count - written));
    return;
  }
  const bool aggregate = t->kind == TypeKind::struct_ || is_array(t);
  if (!aggregate) {
    if (!is_integer_scalar(t) && !is_plain_data_pointer(t))
      report_error("don't know how to initialize that");
    initialize_scalar(image, t);
    return;
  }

  const bool braced = lexer.current_token == tok::lbrace;
  if (braced)
    next_token();
  else if (top)
    report_error("bad initialization");
  if (t->kind == TypeKind::struct_)
    initialize_structure(image, t, braced);
  else
    initialize_array(image, t, braced);
  if (braced) next_token();  // the closing "}"
}

}  // namespace qxl
