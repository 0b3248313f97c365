// A libFuzzer target for the language server's message layer: the bytes go
// through the frame reader (in pieces whose sizes they choose), each body
// and the whole input through the JSON-RPC checks, and the input becomes a
// document that its own bytes then edit and query.  Besides crashes it
// checks what must always hold: bounded buffering, line starts kept as a
// fresh scan finds them, positions that map back to their offsets, and
// wire text that is valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/lsp/protocol.h"

namespace {

using namespace qxl::lsp;

void require(bool condition) {
  if (!condition) std::abort();
}

// Throws when the text is not valid UTF-8.
void require_utf8(const std::string& text) {
  try {
    (void)Json(text).dump();
  } catch (const Json::exception&) {
    std::abort();
  }
}

void check_message(std::string_view body) {
  Incoming m = parse_message(body);
  Json reply = m.kind == Incoming::Kind::invalid ? make_error(m.id, m.error, m.message)
                                                 : make_response(m.id, m.params);
  (void)serialize(reply);
  (void)serialize(make_notification(m.method, m.params));
}

void check_framing(std::string_view data) {
  if (data.empty()) return;
  const std::size_t piece = static_cast<unsigned char>(data[0]) % 32 + 1;
  data.remove_prefix(1);
  FrameReader reader;
  std::string error;
  for (std::size_t i = 0; i < data.size(); i += piece) {
    reader.feed(data.substr(i, piece));
    while (true) {
      const auto body = reader.next(error);
      if (body) {
        check_message(*body);
      } else if (error.empty()) {
        break;
      }
    }
    require(reader.start <= reader.pending.size());
    // Only a body whose length was accepted may grow past a header.
    require(reader.pending.size() - reader.start <= max_header_size + data.size());
  }
  (void)reader.at_end();
}

void check_document(const Document& d) {
  Document fresh;
  fresh.set_text(d.text);
  require(fresh.line_starts == d.line_starts);
  require(fresh.lone_crs == d.lone_crs);
  require_utf8(to_wire(d.text));
}

// A position picked by two bytes, some of them past the document.
Position pick_position(const Document& d, unsigned char line, unsigned char character) {
  return {int(line % (d.line_starts.size() + 2)), int(character) - 8};
}

void check_edits(std::string_view data) {
  if (data.size() < 2) return;
  // The first byte splits the input into the document and the edits.
  const std::size_t split = static_cast<unsigned char>(data[0]) * data.size() / 256;
  Document d;
  d.set_text(std::string(data.substr(1, split > 0 ? split - 1 : 0)));
  check_document(d);
  std::string_view edits = data.substr(std::max<std::size_t>(split, 1));
  constexpr std::size_t edit_bytes = 5;
  while (edits.size() >= edit_bytes) {
    const auto* b = reinterpret_cast<const unsigned char*>(edits.data());
    Position from = pick_position(d, b[0], b[1]);
    Position to = pick_position(d, b[2], b[3]);
    const std::size_t length = std::min<std::size_t>(b[4] % 16, edits.size() - edit_bytes);
    const std::string text(edits.substr(edit_bytes, length));
    edits.remove_prefix(edit_bytes + length);

    for (const Position p : {from, to}) {
      const std::size_t offset = d.offset_of(p);
      require(offset <= d.text.size());
      require(d.offset_of(d.position_of(offset)) == offset);
    }
    const Position at = d.position_at(b[0] % 8, int(b[1]) - 8);
    require(at.line >= 0 && at.character >= 0);

    const Json range = {{"start", {{"line", from.line}, {"character", from.character}}},
                        {"end", {{"line", to.line}, {"character", to.character}}}};
    const std::string before = d.text;
    const bool applied = d.apply_change(b[4] & 0x80 ? Json{{"text", text}}
                                                    : Json{{"range", range}, {"text", text}});
    if (!applied) require(d.text == before);
    check_document(d);
  }
}

void check_uris(std::string_view data) {
  if (data.find('\0') != std::string_view::npos) return;
  const std::string path = "/" + std::string(data);
  require(uri_to_path(path_to_uri(path)) == path);
  (void)uri_to_path(data);
  (void)from_wire(data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_framing(bytes);
  check_message(bytes);
  check_edits(bytes);
  check_uris(bytes);
  return 0;
}
