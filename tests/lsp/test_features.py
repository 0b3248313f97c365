"""Protocol tests of qxl-lsp: the server is driven as an editor drives it,
on real sources (examples/hello.q and programs with includes).

usage: test_features.py QXL_LSP SOURCE_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lspclient import Client  # noqa: E402
import lspsession  # noqa: E402
from lspsession import (  # noqa: E402
    ERROR, INFORMATION, INVALID_PARAMS, METHOD_NOT_FOUND, NOT_INITIALIZED,
    REQUEST_CANCELLED, WARNING, Session, position, uri_of)

SERVER = None
SOURCE_DIR = None


class Lifecycle(unittest.TestCase):
    def test_requests_before_initialize_are_refused(self):
        client = Client(SERVER)
        self.addCleanup(client.close)
        reply = client.request("textDocument/hover", {})
        self.assertEqual(reply["error"]["code"], NOT_INITIALIZED)
        reply = client.request("initialize", [])
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = client.request("initialize", {"capabilities": {}})
        self.assertIn("capabilities", reply["result"])
        self.assertEqual(reply["result"]["serverInfo"]["name"], "qxl-lsp")
        client.request("shutdown")
        client.notify("exit")
        self.assertEqual(client.proc.wait(10), 0)

    def test_capabilities_advertise_document_sync(self):
        s = Session(self)
        sync = s.init["result"]["capabilities"]["textDocumentSync"]
        self.assertEqual(sync["change"], 2)
        self.assertTrue(sync["openClose"])
        self.assertEqual(s.finish(), 0)

    def test_every_advertised_provider_answers(self):
        s = Session(self)
        path = s.write("a.q", "int x;\nf()\n{\n        x = 1;\n}\n")
        s.open(path)
        s.diagnostics(path)
        at = {"textDocument": {"uri": uri_of(path)},
              "position": position(3, 8)}
        methods = {
            "hoverProvider": ("textDocument/hover", at),
            "definitionProvider": ("textDocument/definition", at),
            "declarationProvider": ("textDocument/declaration", at),
            "referencesProvider": ("textDocument/references",
                                   dict(at, context={
                                       "includeDeclaration": True})),
            "documentHighlightProvider": ("textDocument/documentHighlight",
                                          at),
            "documentSymbolProvider": ("textDocument/documentSymbol",
                                       {"textDocument": at["textDocument"]}),
            "completionProvider": ("textDocument/completion", at),
            "signatureHelpProvider": ("textDocument/signatureHelp", at),
            "renameProvider": ("textDocument/rename",
                               dict(at, newName="y")),
            "workspaceSymbolProvider": ("workspace/symbol", {"query": "x"}),
            "codeLensProvider": ("textDocument/codeLens",
                                 {"textDocument": at["textDocument"]}),
            "executeCommandProvider": ("workspace/executeCommand", {
                "command": "qxl.disassemble",
                "arguments": [uri_of(path), position(3, 8)]}),
        }
        capabilities = s.init["result"]["capabilities"]
        advertised = set(capabilities) - {"textDocumentSync"}
        # What is advertised is what is answered, no more and no less.
        self.assertEqual(advertised, set(methods))
        for provider, (method, params) in methods.items():
            reply = s.client.request(method, params)
            self.assertIn("result", reply, (provider, reply))
        self.assertEqual(capabilities["renameProvider"],
                         {"prepareProvider": True})
        reply = s.client.request("textDocument/prepareRename", at)
        self.assertIn("result", reply)
        self.assertEqual(s.finish(), 0)

    def test_unknown_methods(self):
        s = Session(self)
        s.client.notify("$/somethingNew", {"x": 1})
        s.client.notify("$/cancelRequest", {"id": 99})
        reply = s.client.request("qxl/noSuchThing", {})
        self.assertEqual(reply["error"]["code"], METHOD_NOT_FOUND)
        # The server is still there and answers.
        self.assertIsNone(s.client.request("shutdown")["result"])
        s.client.notify("exit")
        self.assertEqual(s.client.proc.wait(10), 0)

    def test_cancelled_requests(self):
        s = Session(self)
        path = s.write("a.q", "int x;\n")
        s.open(path)
        s.diagnostics(path)
        hover = {"textDocument": {"uri": uri_of(path)},
                 "position": position(0, 4)}

        def message(body):
            data = json.dumps(body).encode()
            return b"Content-Length: %d\r\n\r\n" % len(data) + data
        # A request and its cancellation read together: the request is
        # answered as cancelled; the one after it is answered.
        s.client.send_raw(
            message({"jsonrpc": "2.0", "id": 500,
                     "method": "textDocument/hover", "params": hover}) +
            message({"jsonrpc": "2.0", "method": "$/cancelRequest",
                     "params": {"id": 500}}) +
            message({"jsonrpc": "2.0", "id": 501,
                     "method": "textDocument/hover", "params": hover}))
        first = s.client.wait(lambda m: m.get("id") == 500)
        self.assertEqual(first["error"]["code"], REQUEST_CANCELLED)
        second = s.client.wait(lambda m: m.get("id") == 501)
        self.assertIn("x", second["result"]["contents"]["value"])
        # A cancellation of a request answered already changes nothing.
        s.client.notify("$/cancelRequest", {"id": 501})
        self.assertEqual(s.finish(), 0)

    def test_exit_without_shutdown_is_status_1(self):
        s = Session(self)
        s.client.notify("exit")
        self.assertEqual(s.client.proc.wait(10), 1)

    def test_end_of_input_is_status_1(self):
        s = Session(self)
        self.assertEqual(s.client.close(), 1)

    def test_requests_after_shutdown_are_refused(self):
        s = Session(self)
        s.client.request("shutdown")
        reply = s.client.request("textDocument/hover", {})
        self.assertIn("error", reply)
        s.client.notify("exit")
        self.assertEqual(s.client.proc.wait(10), 0)

    def test_version_and_help(self):
        out = subprocess.run([SERVER, "--version"], capture_output=True,
                             text=True)
        self.assertEqual(out.returncode, 0)
        self.assertRegex(out.stdout, r"^qxl-lsp \d+\.\d+\n$")
        out = subprocess.run([SERVER, "--help"], capture_output=True,
                             text=True)
        self.assertEqual(out.returncode, 0)
        self.assertIn("usage: qxl-lsp", out.stdout)
        out = subprocess.run([SERVER, "--bogus"], capture_output=True,
                             text=True)
        self.assertEqual(out.returncode, 2)


class Diagnostics(unittest.TestCase):
    def test_hello_compiles_clean_and_edits_are_followed(self):
        s = Session(self)
        hello = os.path.join(SOURCE_DIR, "examples", "hello.q")
        s.open(hello)
        params = s.diagnostics(hello)
        self.assertEqual(params["diagnostics"], [])
        self.assertEqual(params["version"], 1)
        # An incremental change that breaks line 59 (a blank line).
        s.change(hello, [{"range": {"start": position(58, 0),
                                    "end": position(58, 0)},
                          "text": "int broken = ;"}])
        params = s.diagnostics(hello)
        self.assertEqual(params["version"], 2)
        [d] = params["diagnostics"]
        self.assertEqual(d["message"], "expected expression, not ;")
        self.assertEqual(d["severity"], ERROR)
        self.assertEqual(d["range"], {"start": position(58, 13),
                                      "end": position(58, 14)})
        # Taking it out again: clean, and nothing was written beside it.
        s.change(hello, [{"range": {"start": position(58, 0),
                                    "end": position(58, 14)},
                          "text": ""}])
        self.assertEqual(s.diagnostics(hello)["diagnostics"], [])
        self.assertFalse(os.path.exists(
            os.path.join(SOURCE_DIR, "examples", "hello.b")))
        self.assertEqual(s.finish(), 0)

    def test_warnings_before_the_error_stay(self):
        s = Session(self)
        path = s.write("w.q", "")
        s.open(path, "f()\n{\n        int spare;\n}\n"
                     "g()\n{\n        return 1 +;\n}\n")
        ds = s.diagnostics(path)["diagnostics"]
        self.assertEqual([(d["severity"], d["message"]) for d in ds],
                         [(WARNING, "warning: variable spare was not used"),
                          (ERROR, "expected expression, not ;")])
        self.assertEqual(ds[1]["range"]["start"]["line"], 6)
        self.assertFalse(os.path.exists(os.path.join(s.dir, "w.b")))

    def test_a_message_about_a_name_marks_the_name(self):
        s = Session(self)
        path = s.write("n.q", "")
        s.open(path, "f(int unused_arg)\n{\n        int i, in, j;\n"
                     "        in = 1;\n}\n")
        ds = s.diagnostics(path)["diagnostics"]
        marked = {d["message"]: (d["range"]["start"], d["range"]["end"])
                  for d in ds}
        # Whole words: "i" is not the "i" of "int" or of "in".
        self.assertEqual(marked["warning: variable i was not used"],
                         (position(2, 12), position(2, 13)))
        self.assertEqual(marked["warning: variable j was not used"],
                         (position(2, 19), position(2, 20)))
        self.assertEqual(marked["warning: variable in was set but not used"],
                         (position(2, 15), position(2, 17)))
        self.assertEqual(marked["warning: parameter unused_arg was not used"],
                         (position(0, 6), position(0, 16)))

    def test_notes_are_information(self):
        s = Session(self)
        path = s.write("m.q", "")
        s.open(path, "int *p;\nchar c;\nf()\n{\n        p = &c;\n}\n")
        ds = s.diagnostics(path)["diagnostics"]
        notes = [d for d in ds if d["severity"] == INFORMATION]
        self.assertTrue(notes, ds)
        self.assertTrue(notes[0]["message"].startswith("mismatched types: "),
                        notes)
        self.assertEqual(notes[0]["range"]["start"]["line"], 4)

    def test_full_change_replaces_the_text(self):
        s = Session(self)
        path = s.write("full.q", "int a;\n")
        s.open(path)
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])
        s.change(path, [{"text": "int a\n"}])
        [d] = s.diagnostics(path)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)
        self.assertEqual(d["message"], "expected ;, not end of file")

    def test_unsaved_text_is_compiled_not_the_file(self):
        s = Session(self)
        path = s.write("unsaved.q", "int a = ;\n")
        s.open(path, "int a = 1;\n")
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])

    def test_closing_clears_the_diagnostics(self):
        s = Session(self)
        path = s.write("c.q", "int a = ;\n")
        s.open(path)
        self.assertEqual(len(s.diagnostics(path)["diagnostics"]), 1)
        s.client.notify("textDocument/didClose",
                        {"textDocument": {"uri": uri_of(path)}})
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])


class Includes(unittest.TestCase):
    MAIN = ('int before;\n#include "defs.h"\n'
            'int use = LIMIT;\n')

    def test_error_in_a_header_shows_at_the_include_line(self):
        s = Session(self)
        header = s.write("defs.h", "#define LIMIT 4\nint broken = ;\n")
        main = s.write("main.q", self.MAIN)
        s.open(main)
        [d] = s.diagnostics(main)["diagnostics"]
        self.assertEqual(d["message"], "expected expression, not ;")
        self.assertEqual(d["range"]["start"]["line"], 1)
        [related] = d["relatedInformation"]
        self.assertEqual(related["location"]["uri"], uri_of(header))
        self.assertEqual(related["location"]["range"]["start"]["line"], 1)

    def test_open_header_text_is_used(self):
        s = Session(self)
        header = s.write("defs.h", "#define LIMIT 4\nint broken = ;\n")
        main = s.write("main.q", self.MAIN)
        s.open(header, "#define LIMIT 4\n")
        s.diagnostics(header)
        s.open(main)
        self.assertEqual(s.diagnostics(main)["diagnostics"], [])
        # Breaking the open header breaks the document that includes it.
        s.change(header, [{"text": "#define LIMIT\n"}])
        [d] = s.diagnostics(main)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)
        self.assertEqual(d["range"]["start"]["line"], 2)

    def test_missing_include(self):
        s = Session(self)
        main = s.write("main.q", self.MAIN)
        s.open(main)
        [d] = s.diagnostics(main)["diagnostics"]
        self.assertEqual(d["message"], "can't open #include file defs.h")
        # At the line the compiler names: the one after the directive.
        self.assertEqual(d["range"]["start"]["line"], 2)

    def test_include_search_follows_options_and_environment(self):
        text = '#include "lib.h"\nint x = FROM_LIB;\n'
        for how in ("options", "environment"):
            with self.subTest(how=how):
                libdir = tempfile.mkdtemp(prefix="qxl-lsp-lib-")
                self.addCleanup(shutil.rmtree, libdir, True)
                with open(os.path.join(libdir, "lib.h"), "w") as out:
                    out.write("#define FROM_LIB 3\n")
                if how == "options":
                    s = Session(self, options="-i" + libdir + "/")
                else:
                    s = Session(self, env={"QXL": "-i" + libdir + "/"})
                main = s.write("main.q", text)
                s.open(main)
                self.assertEqual(s.diagnostics(main)["diagnostics"], [])


class Options(unittest.TestCase):
    TEXT = "#if !defined(WANTED)\nint x = ;\n#endif\n"

    def test_defined_by_initialization_options(self):
        s = Session(self, options=["-dWANTED"])
        path = s.write("o.q", self.TEXT)
        s.open(path)
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])

    def test_configuration_change_recompiles(self):
        s = Session(self)
        path = s.write("o.q", self.TEXT)
        s.open(path)
        self.assertEqual(len(s.diagnostics(path)["diagnostics"]), 1)
        s.client.notify("workspace/didChangeConfiguration",
                        {"settings": {"qxl": {"options": "-dWANTED=2"}}})
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])

    def test_bad_option_is_reported_on_the_first_line(self):
        s = Session(self, options="-zz")
        path = s.write("o.q", "int x;\n")
        s.open(path)
        [d] = s.diagnostics(path)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)
        self.assertEqual(d["range"]["start"]["line"], 0)


class Names(unittest.TestCase):
    """hover, definition, declaration, references, documentHighlight,
    documentSymbol and completion on examples/hello.q."""

    def setUp(self):
        self.s = Session(self)
        self.path = os.path.join(SOURCE_DIR, "examples", "hello.q")
        with open(self.path) as source:
            self.lines = source.read().split("\n")
        self.s.open(self.path)
        self.s.diagnostics(self.path)

    def at(self, word, line_has):
        for i, line in enumerate(self.lines):
            if line_has in line:
                return position(i, line.index(word) + 1)
        self.fail("no line with " + line_has)

    def ask(self, method, pos=None, **extra):
        params = {"textDocument": {"uri": uri_of(self.path)}}
        if pos is not None:
            params["position"] = pos
        params.update(extra)
        return self.s.client.request(method, params)["result"]

    def line_of(self, text):
        return next(i for i, l in enumerate(self.lines) if text in l)

    def test_hover(self):
        value = self.ask("textDocument/hover",
                         self.at("width", "int width ="))["contents"]["value"]
        self.assertIn("local variable, frame offset 2", value)
        value = self.ask("textDocument/hover",
                         self.at("fill_column", "fill_column = clamp"))
        self.assertIn("buffer variable", value["contents"]["value"])
        value = self.ask("textDocument/hover", self.at("say", 'say("%s: first'))
        self.assertIn("primitive 101", value["contents"]["value"])
        self.assertIn("takes further arguments", value["contents"]["value"])
        value = self.ask("textDocument/hover", self.at("point", "start = point"))
        self.assertIn("built-in variable", value["contents"]["value"])
        self.assertIn("buffer-specific", value["contents"]["value"])
        # Nothing at a blank line, and a position past the end is no error.
        self.assertIsNone(self.ask("textDocument/hover", position(58, 0)))
        self.assertIsNone(self.ask("textDocument/hover", position(99999, 5)))

    def test_definition_declaration_references(self):
        use = self.at("clamp", "pad = clamp")
        definition = self.ask("textDocument/definition", use)
        declaration = self.ask("textDocument/declaration", use)
        self.assertEqual(definition["uri"], uri_of(self.path))
        self.assertEqual(definition["range"]["start"]["line"],
                         self.line_of("int clamp(value, low, high)"))
        self.assertEqual(declaration["range"]["start"]["line"],
                         self.line_of("int clamp(int value"))
        refs = self.ask("textDocument/references", use,
                        context={"includeDeclaration": False})
        lines = sorted(r["range"]["start"]["line"] for r in refs)
        self.assertIn(self.line_of("pad = clamp"), lines)
        self.assertNotIn(self.line_of("int clamp(int value"), lines)
        # Two uses on one line are two references, each its own range.
        refs = self.ask("textDocument/references",
                        self.at("width", "int width ="),
                        context={"includeDeclaration": True})
        pad = self.line_of("pad = clamp")
        on_pad = [r["range"] for r in refs if r["range"]["start"]["line"] == pad]
        self.assertEqual(len(on_pad), 2)
        self.assertNotEqual(on_pad[0], on_pad[1])
        marks = self.ask("textDocument/documentHighlight",
                         self.at("width", "int width ="))
        self.assertEqual(len(marks), len(refs))

    def test_document_symbols(self):
        symbols = {s["name"]: s for s in
                   self.ask("textDocument/documentSymbol")}
        self.assertIn("main_keys", symbols)
        self.assertEqual(
            [c["name"] for c in symbols["clamp"]["children"]],
            ["value", "low", "high"])
        self.assertEqual([c["name"] for c in symbols["center_line"]["children"]],
                         ["len", "pad", "width"])
        self.assertIn("command", symbols["say_hello"]["detail"])
        # A command's keys in its detail, as the editor shows them.
        self.assertTrue(symbols["say_hello"]["detail"].endswith(
            ", keys: Alt-h \u00b7 C-x h"), symbols["say_hello"]["detail"])
        self.assertTrue(symbols["find_todo"]["detail"].endswith(
            ", keys: C-x t \u00b7 F4"))
        self.assertNotIn("keys", symbols["clamp"]["detail"])

    def test_completion(self):
        items = self.ask("textDocument/completion",
                         self.at("len", "len = line_length"))["items"]
        labels = {i["label"]: i for i in items}
        for name in ("int", "if", "spot", "say", "point", "count_char",
                     "greeting", "len", "pad", "width"):
            self.assertIn(name, labels)
        # Locals of other functions are not in scope here.
        self.assertNotIn("in_word", labels)
        # A built-in variable carries its type and its reference line.
        self.assertEqual(labels["point"]["detail"], "integer point")
        self.assertEqual(labels["point"]["documentation"],
                         "built-in variable 74, buffer-specific")
        self.assertIn("say(", labels["say"]["detail"])


class Recompiles(unittest.TestCase):
    """A change compiles again the documents it can affect, and only
    those."""

    def published(self, s, changed):
        """The URIs of the diagnostics published since the last call."""
        # Asking about a changed document compiles every changed one first,
        # so the answer comes after all the diagnostics there are.
        s.client.request("textDocument/documentSymbol", {
            "textDocument": {"uri": uri_of(changed)}})
        uris = [m["params"]["uri"] for m in s.client.pending
                if m.get("method") == "textDocument/publishDiagnostics"]
        s.client.pending.clear()
        return sorted(uris)

    def test_a_change_compiles_the_documents_that_read_it(self):
        s = Session(self)
        header = s.write("defs.h", "int shared;\n")
        main = s.write("main.q", '#include "defs.h"\nint mine;\n')
        other = s.write("other.q", "int apart;\n")
        for path in (header, main, other):
            s.open(path)
        self.published(s, other)
        s.change(header, [{"text": "int shared;\nint more;\n"}])
        self.assertEqual(self.published(s, header), sorted([uri_of(header),
                                                    uri_of(main)]))
        s.change(other, [{"text": "int apart2;\n"}])
        self.assertEqual(self.published(s, other), [uri_of(other)])

    def test_opening_a_missing_include_compiles_its_reader(self):
        s = Session(self)
        main = s.write("main.q", '#include "late.h"\nint use = LATE;\n')
        s.open(main)
        [d] = s.diagnostics(main)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)
        # The header exists only in the editor, unsaved.
        s.open(os.path.join(s.dir, "late.h"), "#define LATE 3\n")
        self.assertEqual(s.diagnostics(main)["diagnostics"], [])
        # Closing it leaves the reader with the file on disk: none.
        s.client.notify("textDocument/didClose", {"textDocument": {
            "uri": uri_of(os.path.join(s.dir, "late.h"))}})
        [d] = s.diagnostics(main)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)


class Outline(unittest.TestCase):
    def test_prototypes_and_structures_in_the_outline(self):
        s = Session(self)
        path = s.write("o.q", "")
        s.open(path, "int first;\n"
                     "f(int a)\n{\n        int inner;\n        inner = a;\n"
                     "        return inner;\n}\n"
                     "int g(int later_param);\n"
                     "struct pair { int left; int right; };\n"
                     "g(int later_param)\n{\n        return later_param;\n}\n")
        s.diagnostics(path)
        symbols = s.client.request("textDocument/documentSymbol", {
            "textDocument": {"uri": uri_of(path)}})["result"]
        by_name = {sym["name"]: sym for sym in symbols}
        # The prototype's parameter is not f's.
        self.assertEqual([c["name"] for c in by_name["f"]["children"]],
                         ["a", "inner"])
        self.assertEqual([c["name"] for c in by_name["g"]["children"]],
                         ["later_param"])
        # Each member at its own place.
        members = by_name["pair"]["children"]
        self.assertEqual([(m["name"], m["range"]["start"]) for m in members],
                         [("left", position(8, 18)),
                          ("right", position(8, 28))])


class WordsInText(unittest.TestCase):
    def test_names_in_strings_and_comments_are_not_uses(self):
        s = Session(self)
        path = s.write("t.q", "")
        line = 'say("total \\"total\\""); /* total */ total = 2; // total'
        s.open(path, "int total;\nf()\n{\n        " + line + "\n}\n")
        s.diagnostics(path)
        refs = s.client.request("textDocument/references", {
            "textDocument": {"uri": uri_of(path)},
            "position": position(0, 5),
            "context": {"includeDeclaration": False}})["result"]
        use = 8 + line.index("total = 2")
        self.assertEqual([r["range"]["start"] for r in refs],
                         [position(3, use)])


class AfterAnError(unittest.TestCase):
    """What comes after an error is known from the last complete
    analysis."""
    TEXT = ("int counter;\n"
            "bump()\n{\n        counter = counter + 1;\n}\n"
            "int later_total;\n"
            "report()\n{\n        later_total = counter;\n        bump();\n}\n")

    def test_names_after_the_error(self):
        s = Session(self)
        path = s.write("prog.q", self.TEXT)
        s.open(path)
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])
        # Two lines, one of them broken, typed at the top.
        s.change(path, [{"range": {"start": position(0, 0),
                                   "end": position(0, 0)},
                         "text": "int broken = ;\nint fine;\n"}])
        [d] = s.diagnostics(path)["diagnostics"]
        self.assertEqual(d["severity"], ERROR)
        uri = {"uri": uri_of(path)}
        # "later_total" on what is now line 10.
        hover = s.client.request("textDocument/hover", {
            "textDocument": uri, "position": position(10, 10)})["result"]
        self.assertIn("integer later_total", hover["contents"]["value"])
        self.assertIn("global variable", hover["contents"]["value"])
        where = s.client.request("textDocument/definition", {
            "textDocument": uri, "position": position(11, 9)})["result"]
        self.assertEqual(where["range"]["start"]["line"], 1)  # bump, before
        items = s.client.request("textDocument/completion", {
            "textDocument": uri, "position": position(10, 8)})["result"]
        labels = {item["label"] for item in items["items"]}
        self.assertTrue({"later_total", "report", "bump", "counter"} <= labels)
        # Fixed, the current analysis answers again and the old one goes.
        s.change(path, [{"range": {"start": position(0, 0),
                                   "end": position(1, 0)}, "text": ""}])
        self.assertEqual(s.diagnostics(path)["diagnostics"], [])
        where = s.client.request("textDocument/definition", {
            "textDocument": uri, "position": position(10, 9)})["result"]
        self.assertEqual(where["range"]["start"]["line"], 2)


class Included(unittest.TestCase):
    def test_definition_in_a_header(self):
        s = Session(self)
        header = s.write("defs.h", "int shared;\n")
        main = s.write("main.q", '#include "defs.h"\nf()\n{\n'
                                 '        shared = 2;\n}\n')
        s.open(main)
        s.diagnostics(main)
        reply = s.client.request("textDocument/definition", {
            "textDocument": {"uri": uri_of(main)},
            "position": position(3, 9)})["result"]
        self.assertEqual(reply["uri"], uri_of(header))
        self.assertEqual(reply["range"]["start"], position(0, 4))


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    lspsession.SERVER = SERVER
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
