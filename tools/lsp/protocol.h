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

// Splits a byte stream into message bodies.  Feed it what was read; take
// complete bodies out.  A malformed header is reported through `error`
// and the reader skips to the next header it can make sense of.
struct FrameReader {
  std::string pending;     // bytes read and not yet consumed
  std::size_t skip = 0;    // body bytes still to discard (refused message)
  void feed(std::string_view bytes);
  // The next complete body, or nothing when more input is needed.  Sets
  // `error` (and returns nothing) for a header it cannot use.
  std::optional<std::string> next(std::string& error);
};

// "Content-Length: N\r\n\r\n" and the body.
std::string frame(std::string_view body);

// One incoming message, checked for the JSON-RPC shape.
struct Incoming {
  enum class Kind { request, notification, response, invalid };
  Kind kind = Kind::invalid;
  Json id;               // requests and responses
  std::string method;    // requests and notifications
  Json params;           // object, array or null
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
  std::vector<std::size_t> line_starts;

  void set_text(std::string new_text);
  // Byte offset of a position (clamped to the document).
  std::size_t offset_of(Position p) const;
  // Position of a byte offset (clamped), in UTF-16 units of the line.
  Position position_of(std::size_t offset) const;
  // The position of a byte column on a 1-based line as the compiler counts.
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

}  // namespace qxl::lsp
