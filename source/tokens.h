// Token codes and their printable names.
//
// Token codes are small signed numbers shared by the whole compiler: the
// lexer returns them, the symbol table stores them with each text, and the
// type and expression layers reuse them as their own kind codes.  Codes 0 to
// 79 index the name table below; -1 is the end of the input.
#pragma once

#include <array>
#include <cstdint>

namespace qxl {

using TokenCode = std::int16_t;

namespace tok {
inline constexpr TokenCode end_of_input = -1;
inline constexpr TokenCode none = 0;
inline constexpr TokenCode error = 1;
inline constexpr TokenCode identifier = 2;
inline constexpr TokenCode string_const = 3;
inline constexpr TokenCode char_const = 4;
inline constexpr TokenCode int_const = 5;
inline constexpr TokenCode number = 6;
inline constexpr TokenCode null_pointer = 7;

// Reserved words.
inline constexpr TokenCode kw_save_var = 8;
inline constexpr TokenCode kw_save_spot = 9;
inline constexpr TokenCode kw_int = 10;
inline constexpr TokenCode kw_char = 11;
inline constexpr TokenCode kw_struct = 12;
inline constexpr TokenCode kw_union = 13;
inline constexpr TokenCode kw_enum = 14;
inline constexpr TokenCode kw_spot = 15;
inline constexpr TokenCode kw_short = 16;
inline constexpr TokenCode kw_user = 17;
inline constexpr TokenCode kw_window = 18;
inline constexpr TokenCode kw_color_class = 19;
inline constexpr TokenCode kw_typedef = 20;
inline constexpr TokenCode kw_static = 21;
inline constexpr TokenCode kw_command = 22;
inline constexpr TokenCode kw_buffer = 23;
inline constexpr TokenCode kw_keytable = 24;
inline constexpr TokenCode kw_goto = 25;
inline constexpr TokenCode kw_return = 26;
inline constexpr TokenCode kw_sizeof = 27;
inline constexpr TokenCode kw_break = 28;
inline constexpr TokenCode kw_continue = 29;
inline constexpr TokenCode kw_if = 30;
inline constexpr TokenCode kw_else = 31;
inline constexpr TokenCode kw_for = 32;
inline constexpr TokenCode kw_do = 33;
inline constexpr TokenCode kw_while = 34;
inline constexpr TokenCode kw_switch = 35;
inline constexpr TokenCode kw_case = 36;
inline constexpr TokenCode kw_default = 37;
inline constexpr TokenCode kw_on = 38;
inline constexpr TokenCode kw_on_exit = 39;
inline constexpr TokenCode kw_volatile = 40;
inline constexpr TokenCode kw_zeroed = 41;
inline constexpr TokenCode kw_color_scheme = 42;
inline constexpr TokenCode kw_byte = 43;
inline constexpr TokenCode first_reserved = kw_save_var;
inline constexpr TokenCode last_reserved = kw_byte;

// Operators and punctuators.
inline constexpr TokenCode star = 45;
inline constexpr TokenCode plus = 46;
inline constexpr TokenCode minus = 47;
inline constexpr TokenCode slash = 48;
inline constexpr TokenCode lparen = 49;
inline constexpr TokenCode rparen = 50;
inline constexpr TokenCode semicolon = 51;
inline constexpr TokenCode colon = 52;
inline constexpr TokenCode plus_plus = 53;
inline constexpr TokenCode minus_minus = 54;
inline constexpr TokenCode amp = 55;
inline constexpr TokenCode amp_amp = 56;
inline constexpr TokenCode bar = 57;
inline constexpr TokenCode bar_bar = 58;
inline constexpr TokenCode tilde = 59;
inline constexpr TokenCode percent = 60;
inline constexpr TokenCode shift_left = 61;
inline constexpr TokenCode shift_right = 62;
inline constexpr TokenCode less_equal = 63;
inline constexpr TokenCode greater_equal = 64;
inline constexpr TokenCode less = 65;
inline constexpr TokenCode greater = 66;
inline constexpr TokenCode equal_equal = 67;
inline constexpr TokenCode not_equal = 68;
inline constexpr TokenCode assign = 69;
inline constexpr TokenCode bang = 70;
inline constexpr TokenCode caret = 71;
inline constexpr TokenCode question = 72;
inline constexpr TokenCode comma = 73;
inline constexpr TokenCode lbracket = 74;
inline constexpr TokenCode rbracket = 75;
inline constexpr TokenCode dot = 76;
inline constexpr TokenCode arrow = 77;
inline constexpr TokenCode lbrace = 78;
inline constexpr TokenCode rbrace = 79;

inline constexpr int table_size = 80;
}  // namespace tok

// Printable name of each token code, indexed by the code; null where a code
// has no name.  "expected %s" and the -p listing print these.
inline constexpr std::array<const char*, tok::table_size> token_names = {
    nullptr,      "ERROR",     "identifier", "stringconst", "charconst",
    "intconst",   "number",    "nullptr",
    // 8..43: reserved words
    "save_var",   "save_spot", "int",        "char",        "struct",
    "union",      "enum",      "spot",       "short",       "user",
    "window",     "color_class", "typedef",  "static",      "command",
    "buffer",     "keytable",  "goto",       "return",      "sizeof",
    "break",      "continue",  "if",         "else",        "for",
    "do",         "while",     "switch",     "case",        "default",
    "on",         "on_exit",   "volatile",   "zeroed",      "color_scheme",
    "byte",
    nullptr,  // 44
    "*",  "+",  "-",  "/",  "(",  ")",  ";",  ":",  "++", "--",
    "&",  "&&", "|",  "||", "~",  "%",  "<<", ">>", "<=", ">=",
    "<",  ">",  "==", "!=", "=",  "!",  "^",  "?",  ",",  "[",
    "]",  ".",  "->", "{",  "}",
};

// Name of a token code, or null when it has none (or is out of range).
constexpr const char* token_name(int code) {
  if (code < 0 || code >= tok::table_size) return nullptr;
  return token_names[static_cast<std::size_t>(code)];
}

}  // namespace qxl
