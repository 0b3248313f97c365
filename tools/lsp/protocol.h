// The message layer of the language server: Content-Length framing over a
// byte stream, JSON-RPC 2.0 envelopes and their error replies, and the
// open documents with the conversion between byte offsets and the
// protocol's UTF-16 positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qxl::lsp {

using Json = nlohmann::json;

// JSON-RPC and protocol error codes.
namespace error_code {
inline constexpr int parse_error = -32700;
inline constexpr int invalid_request = -32600;
inline constexpr int method_not_found = -32601;
inline constexpr int invalid_params = -32602;
inline constexpr int internal_error = -32603;
inline constexpr int server_not_initialized = -32002;
inline constexpr int request_cancelled = -32800;
inline constexpr int content_modified = -32801;
}  // namespace error_code

// Largest message body accepted; a longer Content-Length is refused
// without reading the body into memory.
inline constexpr std::size_t max_message_size = std::size_t{1} << 30;
// Longest header section accepted while its blank line has not come.
inline constexpr std::size_t max_header_size = std::size_t{64} << 10;
// Deepest nesting of arrays and objects accepted in a message (copying or
// printing a value recurses once per level).
inline constexpr int max_json_depth = 512;

// Splits a byte stream into message bodies.  Feed it what was read; take
// complete bodies out.  A malformed header is reported through `error`
// and the reader skips to the next header it can make sense of.
struct FrameReader {
  std::string pending;     // bytes read; those before `start` are consumed
  std::size_t start = 0;   // where the unconsumed bytes of `pending` begin
  std::size_t skip = 0;    // body bytes still to discard (refused message)
  bool hunting = false;    // after a bad header: looking for the next
                           // "Content-Length", discarding what comes first
  void feed(std::string_view bytes);
  // The next complete body, or nothing when more input is needed.  Sets
  // `error` (and returns nothing) for a header it cannot use; the reader
  // has then moved past it, so call again until both are empty.
  std::optional<std::string> next(std::string& error);
  // At the end of input: what was left unfinished, or "" when the input
  // ended between two messages.
  std::string at_end() const;
};

// "Content-Length: N\r\n\r\n" and the body.
std::string frame(std::string_view body);
// A message as compact JSON text; bytes of its strings that are not UTF-8
// become U+FFFD instead of failing.
std::string serialize(const Json& message);

// One incoming message, checked for the JSON-RPC shape.
struct Incoming {
  enum class Kind { request, notification, response, invalid };
  Kind kind = Kind::invalid;
  Json id;               // requests and responses
  std::string method;    // requests and notifications
  Json params;           // object, array or null; for a response an
                         // object with its "result" or its "error"
  int error = 0;         // for invalid: the error code to reply with
  std::string message;   // for invalid: its text
};
Incoming parse_message(std::string_view body);

Json make_response(const Json& id, Json result);
Json make_error(const Json& id, int code, std::string_view message);
Json make_notification(std::string_view method, Json params);

// A zero-based position as the protocol gives it: line and UTF-16 unit.
struct Position {
  int line = 0;
  int character = 0;
};

// An open document: its bytes as the editor holds them (UTF-8 on the
// wire, stored as the compiler reads sources: UTF-8 after a byte-order
// mark, Latin-1 otherwise), its version and the offsets of its lines.
struct Document {
  std::string uri;
  std::string path;      // file path of a file: URI, else the URI itself
  std::string language;
  std::int64_t version = 0;
  std::string text;      // as the compiler is to read it
  // Where each line begins; a line ends at "\n", "\r\n" or a lone "\r".
  std::vector<std::size_t> line_starts;
  // Carriage returns not followed by "\n": they end a line for the editor
  // but not for the compiler, which counts only newlines.
  std::size_t lone_crs = 0;

  // Whether `text` is UTF-8 (it starts with a byte-order mark); otherwise
  // every byte is one Latin-1 character.
  bool is_utf8() const;
  void set_text(std::string new_text);
  // Byte offset of a position (clamped to the document).
  std::size_t offset_of(Position p) const;
  // Position of a byte offset (clamped), in UTF-16 units of the line.
  Position position_of(std::size_t offset) const;
  // The position of a byte column on a 1-based line as the compiler counts.
  // Lines are separated by newlines only; the column counts bytes of
  // `text` from the line's first byte, from 0 (the byte-order mark is part
  // of line 1).  Both are clamped to the document.
  Position position_at(int line, int byte_column) const;
  // Applies one contentChanges entry (with or without a range); false for
  // a malformed one, which leaves the text as it was.
  bool apply_change(const Json& change);
};

// Text of the wire (UTF-8) to the compiler's reading, and back.
std::string from_wire(std::string_view utf8);
std::string to_wire(std::string_view source_text);

// file:// URIs and paths.
std::string uri_to_path(std::string_view uri);
std::string path_to_uri(std::string_view path);

// Readers of request parameters.  A parameter that is missing or of the
// wrong shape throws BadParams, which the server answers as invalid
// parameters (a notification's is logged).
struct BadParams {
  std::string message;
};
const Json& member(const Json& object, const char* name);
std::string string_member(const Json& object, const char* name);
std::int64_t integer_member(const Json& object, const char* name);
// The "position" member: lines and characters from 0, large ones clamped.
Position position_param(const Json& params);

}  // namespace qxl::lsp
