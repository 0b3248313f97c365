// A libFuzzer target for the language server above the message layer: the
// input is a source that the server opens (its text held in memory, as an
// editor's unsaved text), compiles, and is then asked every question it
// answers at positions the input's own bytes choose, inside the text and
// past it.  Besides crashes it checks that every request gets exactly one
// reply, with its id, and that everything the server sends serializes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/lsp/server.h"

namespace {

using namespace qxl::lsp;

void require(bool condition) {
  if (!condition) std::abort();
}

constexpr const char* uri = "file:///nonexistent-qxl-fuzz/main.q";

// The requests asked at each position; those the server does not know get
// their "method not found" reply, which must also be exactly one.
constexpr const char* position_methods[] = {
    "textDocument/hover",          "textDocument/definition",
    "textDocument/declaration",    "textDocument/references",
    "textDocument/documentHighlight", "textDocument/completion",
    "textDocument/signatureHelp",  "textDocument/prepareRename",
    "textDocument/rename",         "qxl/disassemble",
};
constexpr const char* document_methods[] = {
    "textDocument/documentSymbol",
    "textDocument/codeLens",
};

int next_id = 1;

// Sends one request and checks its single reply.
void ask(Server& server, const char* method, Json params) {
  const int id = next_id++;
  server.outgoing.clear();
  Incoming message;
  message.kind = Incoming::Kind::request;
  message.id = id;
  message.method = method;
  message.params = std::move(params);
  handle_message(server, message);
  int replies = 0;
  for (const Json& out : server.outgoing) {
    (void)serialize(out);
    if (out.contains("id") && !out.contains("method")) {
      require(out["id"] == id);
      ++replies;
    }
  }
  require(replies == 1);
}

void notify(Server& server, const char* method, Json params) {
  Incoming message;
  message.kind = Incoming::Kind::notification;
  message.method = method;
  message.params = std::move(params);
  handle_message(server, message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Server server;
  ask(server, "initialize", {{"capabilities", Json::object()}});
  notify(server, "initialized", Json::object());
  notify(server, "textDocument/didOpen",
         {{"textDocument",
           {{"uri", uri}, {"languageId", "qxl"}, {"version", 1},
            {"text", to_wire(std::string(bytes))}}}});
  run_analyses(server);
  for (const Json& out : server.outgoing) (void)serialize(out);

  const Json document{{"uri", uri}};
  for (const char* method : document_methods)
    ask(server, method, {{"textDocument", document}});
  ask(server, "workspace/symbol", {{"query", std::string(bytes.substr(0, 3))}});

  // Positions from the input's bytes: lines of the text and past it,
  // characters inside a line and past its end.
  const std::size_t asked = std::min<std::size_t>(size / 2, 6);
  for (std::size_t i = 0; i < asked; ++i) {
    const int line = static_cast<unsigned char>(bytes[2 * i]) % 64;
    const int character = static_cast<unsigned char>(bytes[2 * i + 1]) % 96;
    const Json at{{"line", line}, {"character", character}};
    for (const char* method : position_methods)
      ask(server, method,
          {{"textDocument", document}, {"position", at}, {"newName", "renamed"},
           {"context", {{"includeDeclaration", true}}}});
    ask(server, "workspace/executeCommand",
        {{"command", "qxl.disassemble"}, {"arguments", Json::array({uri, at})}});
  }
  return 0;
}
