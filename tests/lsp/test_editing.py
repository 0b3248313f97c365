"""Protocol tests of qxl-lsp's editing help: signature help, rename and
workspace symbols, on examples/hello.q and on programs with a header.

usage: test_editing.py QXL_LSP SOURCE_DIR
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lspsession  # noqa: E402
from lspsession import INVALID_PARAMS, Session, position, uri_of  # noqa: E402

SOURCE_DIR = None


def locate(text, marked):
    """The position of the '|' in `marked`, a piece of `text` with the
    cursor marked; the piece must occur in the text."""
    cursor = marked.index("|")
    piece = marked[:cursor] + marked[cursor + 1:]
    at = text.index(piece) + cursor
    line = text.count("\n", 0, at)
    return position(line, at - (text.rfind("\n", 0, at) + 1))


def offset_of(text, pos):
    lines = text.split("\n")
    return sum(len(l) + 1 for l in lines[:pos["line"]]) + pos["character"]


def apply_edits(text, edits):
    """`text` with the TextEdits applied (positions in ASCII text)."""
    spans = sorted(((offset_of(text, e["range"]["start"]),
                     offset_of(text, e["range"]["end"]), e["newText"])
                    for e in edits), reverse=True)
    for start, end, new in spans:
        text = text[:start] + new + text[end:]
    return text


class Editing(unittest.TestCase):
    def setUp(self):
        self.s = Session(self)
        self.texts = {}

    def open(self, path, text=None):
        if text is None:
            with open(path) as source:
                text = source.read()
        self.texts[path] = text
        self.s.open(path, text)
        return path

    def write_and_open(self, name, text):
        return self.open(self.s.write(name, text), text)

    def hello(self):
        path = self.open(os.path.join(SOURCE_DIR, "examples", "hello.q"))
        self.assertEqual(self.s.diagnostics(path)["diagnostics"], [])
        return path

    def request(self, method, path, marked, **extra):
        params = {"textDocument": {"uri": uri_of(path)},
                  "position": locate(self.texts[path], marked)}
        params.update(extra)
        return self.s.client.request(method, params)

    def help_at(self, path, marked):
        return self.request("textDocument/signatureHelp", path,
                            marked)["result"]


class SignatureHelp(Editing):
    SOURCE = ('int total(int first, int second);\n'
              'f()\n'
              '{\n'
              '        char buf[40];\n'
              '        int n;\n'
              '\n'
              '        n = parse_string(1, "a, (b", buf);\n'
              '        n = total(parse_string(0, ")", buf), n);\n'
              '        n = total(\',\', n);\n'
              '        if (n > 2)\n'
              '                say("%d (%s)", total(1, 2), buf);\n'
              '}\n'
              'int total(int first, int second)\n'
              '{\n'
              '        return first + second;\n'
              '}\n')

    @staticmethod
    def parameters(signature):
        label = signature["label"]
        return [label[p["label"][0]:p["label"][1]]
                for p in signature["parameters"]]

    def test_primitive_with_further_arguments(self):
        path = self.hello()
        line = 'say("%s (%d greetings so far)", greeting, greetings_given);'
        cases = [('say(|"%s (%d', 0), ('say("%s (%d| greetings', 0),
                 ('so far)", gree|ting, greetings_given', 1),
                 # Past the fixed parameters every argument is the "...".
                 ('greeting, greetings_gi|ven);', 1)]
        for marked, active in cases:
            with self.subTest(marked=marked):
                self.assertIn(marked.replace("|", ""), line)
                help = self.help_at(path, marked)
                [signature] = help["signatures"]
                self.assertEqual(signature["label"], "short say(char *, ...)")
                self.assertEqual(self.parameters(signature),
                                 ["char *", "..."])
                self.assertIn("primitive 101", signature["documentation"])
                self.assertIn("further",
                              signature["parameters"][1]["documentation"])
                self.assertEqual(help["activeParameter"], active)
                self.assertEqual(signature["activeParameter"], active)

    def test_optional_arguments_nested_calls_and_constants(self):
        path = self.write_and_open("calls.q", self.SOURCE)
        self.assertEqual(self.s.diagnostics(path)["diagnostics"], [])
        help = self.help_at(path, 'parse_string(1, "a, (b", b|uf);')
        [signature] = help["signatures"]
        self.assertEqual(signature["label"],
                         "int parse_string(int, char *[, char *])")
        self.assertEqual(self.parameters(signature),
                         ["int", "char *", "char *"])
        self.assertEqual(signature["parameters"][2]["documentation"],
                         "optional")
        self.assertNotIn("documentation", signature["parameters"][0])
        # The comma and the parenthesis in the string are not the call's.
        self.assertEqual(help["activeParameter"], 2)
        cases = [('total(parse_string(0, ")|"', "parse_string", 1),
                  ('total(parse_string(0, ")", buf), |n);', "total", 1),
                  ('total(|parse_string(0', "total", 0),
                  ("total(',', |n);", "total", 1),
                  ('say("%d (%s)", total(1, |2), buf', "total", 1),
                  ('say("%d (%s)", total(1, 2), |buf', "say", 1)]
        for marked, name, active in cases:
            with self.subTest(marked=marked):
                help = self.help_at(path, marked)
                self.assertIn(" " + name + "(",
                              help["signatures"][0]["label"])
                self.assertEqual(help["activeParameter"], active)

    def test_user_functions_as_declared(self):
        path = self.write_and_open("calls.q", self.SOURCE)
        self.s.diagnostics(path)
        [signature] = self.help_at(path, "total(',', |n")["signatures"]
        self.assertEqual(signature["label"],
                         "integer total(int first, int second)")
        self.assertEqual(self.parameters(signature),
                         ["int first", "int second"])
        self.assertIn("function, declared at calls.q line 1",
                      signature["documentation"])
        path = self.hello()
        # A prototype with types says more than the old-style definition.
        [signature] = self.help_at(
            path, "pad = clamp((width - len) / 2, 0, |width)")["signatures"]
        self.assertEqual(signature["label"],
                         "integer clamp(int value, int low, int high)")
        self.assertEqual(signature["activeParameter"], 2)
        # Only the old-style list of names: that is what there is.
        help = self.help_at(path, "frame_text(line, &style, |skip_blanks")
        self.assertEqual(help["signatures"][0]["label"],
                         "integer frame_text(line, st, text)")
        self.assertEqual(help["activeParameter"], 2)
        help = self.help_at(path, "skip_blanks(|word)")
        self.assertEqual(help["signatures"][0]["label"],
                         "pointer to character skip_blanks(char *p)")

    def test_nothing_outside_a_call(self):
        path = self.hello()
        for marked in ["if (value < |low)", "        return low;|",
                       "while (point > 0 && |character",
                       "/* Keep value between low and high (|old-style"]:
            with self.subTest(marked=marked):
                self.assertIsNone(self.help_at(path, marked))
        # A position past the end is no error.
        reply = self.s.client.request("textDocument/signatureHelp", {
            "textDocument": {"uri": uri_of(path)},
            "position": position(99999, 3)})
        self.assertIsNone(reply["result"])

    def test_advertised_triggers(self):
        caps = self.s.init["result"]["capabilities"]
        self.assertEqual(caps["signatureHelpProvider"],
                         {"triggerCharacters": ["(", ","],
                          "retriggerCharacters": [","]})
        self.assertEqual(caps["renameProvider"], {"prepareProvider": True})
        self.assertTrue(caps["workspaceSymbolProvider"])


class Prototypes(Editing):
    def test_hover_and_completion_of_primitives(self):
        path = self.write_and_open("calls.q", SignatureHelp.SOURCE)
        self.s.diagnostics(path)
        hover = self.request("textDocument/hover", path,
                             "n = parse_str|ing(1")["result"]
        value = hover["contents"]["value"]
        self.assertIn("int parse_string(int, char *[, char *])", value)
        self.assertIn("returns integer, has optional arguments", value)
        self.assertNotIn("further", value)
        value = self.request("textDocument/hover", path,
                             's|ay("%d (%s)"')["result"]["contents"]["value"]
        self.assertIn("short say(char *, ...)", value)
        self.assertNotIn("optional", value)
        items = self.request("textDocument/completion", path,
                             "n = parse_str|ing(1")["result"]["items"]
        item = next(i for i in items if i["label"] == "parse_string")
        self.assertEqual(item["detail"],
                         "int parse_string(int, char *[, char *])")
        self.assertEqual(item["documentation"]["kind"], "markdown")
        self.assertRegex(item["documentation"]["value"],
                         r"^primitive \d+, 4 to 7 argument words, "
                         r"signature `I;\*C;\?\*C;`$")
        item = next(i for i in items if i["label"] == "setjmp")
        self.assertEqual(item["detail"], "short setjmp(jmp_buf *)")


class Rename(Editing):
    HEADER = ("int counter;\n"
              "bump()\n"
              "{\n"
              "        counter++;\n"
              "}\n")
    MAIN = ('#include "defs.h"\n'
            "int twice()\n"
            "{\n"
            "        int local = counter;\n"
            "\n"
            "        bump();\n"
            "        return local + counter * 2;\n"
            "}\n")

    def rename(self, path, marked, new_name):
        return self.request("textDocument/rename", path, marked,
                            newName=new_name)

    def apply_and_check(self, changes, main):
        """Applies a WorkspaceEdit to the open documents; the main one must
        then compile clean."""
        for uri, edits in changes.items():
            [path] = [p for p in self.texts if uri_of(p) == uri]
            self.texts[path] = apply_edits(self.texts[path], edits)
            self.s.change(path, [{"text": self.texts[path]}])
        while True:
            params = self.s.diagnostics(main)
            if params["version"] == self.s.versions[main]:
                break
        self.assertEqual(params["diagnostics"], [])

    def test_local_variable(self):
        path = self.hello()
        text = self.texts[path]
        prepared = self.request("textDocument/prepareRename", path,
                                "int wid|th =")["result"]
        self.assertEqual(prepared["placeholder"], "width")
        self.assertEqual(prepared["range"]["start"],
                         locate(text, "int |width ="))
        changes = self.rename(path, "int wid|th =", "span")["result"]["changes"]
        self.assertEqual(list(changes), [uri_of(path)])
        edits = changes[uri_of(path)]
        # The declaration and the two uses on the pad line; not the
        # members called width of the note style.
        self.assertEqual(len(edits), 3)
        for e in edits:
            start = offset_of(text, e["range"]["start"])
            self.assertEqual(text[start:offset_of(text, e["range"]["end"])],
                             "width")
            self.assertEqual(e["newText"], "span")
        renamed = apply_edits(text, edits)
        self.assertIn("pad = clamp((span - len) / 2, 0, span);", renamed)
        self.assertIn("style.width = style.width / 2;", renamed)
        self.apply_and_check(changes, path)

    def test_global_used_in_an_open_header(self):
        header = self.write_and_open("defs.h", self.HEADER)
        main = self.write_and_open("main.q", self.MAIN)
        self.assertEqual(self.s.diagnostics(main)["diagnostics"], [])
        changes = self.rename(main, "local + coun|ter",
                              "hits")["result"]["changes"]
        self.assertEqual(len(changes[uri_of(header)]), 2)
        self.assertEqual(len(changes[uri_of(main)]), 2)
        self.apply_and_check(changes, main)
        self.assertIn("hits++;", self.texts[header])

    def test_renaming_in_a_header_reaches_the_programs_including_it(self):
        header = self.write_and_open("defs.h", self.HEADER)
        main = self.write_and_open("main.q", self.MAIN)
        self.s.diagnostics(main)
        changes = self.rename(header, "int coun|ter;",
                              "hits")["result"]["changes"]
        self.assertEqual(len(changes[uri_of(header)]), 2)
        self.assertEqual(len(changes[uri_of(main)]), 2)
        self.apply_and_check(changes, main)

    def test_name_in_a_header_that_is_not_open(self):
        self.s.write("defs.h", self.HEADER)
        main = self.write_and_open("main.q", self.MAIN)
        self.assertEqual(self.s.diagnostics(main)["diagnostics"], [])
        for marked in ["local + coun|ter", "bu|mp();"]:
            with self.subTest(marked=marked):
                reply = self.rename(main, marked, "other")
                self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
                self.assertIn("defs.h, which is not open",
                              reply["error"]["message"])
                self.assertIsNone(self.request("textDocument/prepareRename",
                                               main, marked)["result"])
        # A name of the program alone still can be renamed.
        changes = self.rename(main, "int loc|al", "mine")["result"]["changes"]
        self.assertEqual(len(changes[uri_of(main)]), 2)
        self.apply_and_check(changes, main)

    def test_refusals(self):
        path = self.hello()
        refused_places = [("i|nt width", "reserved word"),
                          ("        sp|ot from, to;", "reserved word"),
                          ('s|ay("%s: first', "primitive"),
                          ("start = poi|nt;", "built-in variable"),
                          ("\n|\n", "no name here")]
        for marked, why in refused_places:
            with self.subTest(marked=marked):
                self.assertIsNone(self.request("textDocument/prepareRename",
                                               path, marked)["result"])
                reply = self.rename(path, marked, "fresh")
                self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
                self.assertIn(why, reply["error"]["message"])
        refused_names = [("2x", "not an identifier"),
                         ("na\u00efve", "'na\u00efve' is not an identifier"),
                         ("a-b", "not an identifier"),
                         ("while", "reserved word"),
                         ("char", "reserved word"),
                         ("say", "primitive"),
                         ("point", "built-in variable"),
                         ("len", "already declared at hello.q"),
                         ("greeting", "already declared at hello.q")]
        for new_name, why in refused_names:
            with self.subTest(new_name=new_name):
                reply = self.rename(path, "int wid|th =", new_name)
                self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
                self.assertIn(why, reply["error"]["message"])
        # A local of another function is no clash.
        reply = self.rename(path, "int wid|th =", "in_word")
        self.assertEqual(len(reply["result"]["changes"][uri_of(path)]), 3)
        # Bad parameters are an error reply, not a crash.
        reply = self.s.client.request("textDocument/rename", {
            "textDocument": {"uri": uri_of(path)},
            "position": position(0, 0)})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = self.s.client.request("textDocument/rename", {
            "textDocument": {"uri": uri_of(path)},
            "position": locate(self.texts[path], "int wid|th ="),
            "newName": 7})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)


class WorkspaceSymbols(Editing):
    SHARED = ("int shared_count;\n"
              "note_shared(int times)\n"
              "{\n"
              "        shared_count += times;\n"
              "}\n")
    ALPHA = ('#include "shared.h"\n'
             "command alpha()\n"
             "{\n"
             "        int steps = 2;\n"
             "\n"
             "        note_shared(steps);\n"
             "}\n")
    BETA = ('#include "shared.h"\n'
            "command beta()\n"
            "{\n"
            "        note_shared(1);\n"
            "}\n"
            "int later(int unseen);\n"
            "int later(int seen)\n"
            "{\n"
            "        return seen;\n"
            "}\n")

    def symbols(self, query):
        return self.s.client.request("workspace/symbol",
                                     {"query": query})["result"]

    def open_programs(self):
        self.header = self.s.write("shared.h", self.SHARED)
        self.alpha = self.write_and_open("alpha.q", self.ALPHA)
        self.beta = self.write_and_open("beta.q", self.BETA)
        for path in (self.alpha, self.beta):
            self.assertEqual(self.s.diagnostics(path)["diagnostics"], [])

    def test_symbols_of_every_open_document_once(self):
        self.open_programs()
        found = self.symbols("")
        names = sorted(s["name"] for s in found)
        # The parameter of the prototype after beta is neither beta's nor
        # a second one of the definition's.
        self.assertEqual(names, ["alpha", "beta", "later", "note_shared",
                                 "seen", "shared_count", "steps", "times"])
        by_name = {s["name"]: s for s in found}
        shared = by_name["shared_count"]
        self.assertEqual(shared["location"]["uri"], uri_of(self.header))
        self.assertEqual(shared["location"]["range"]["start"], position(0, 4))
        self.assertEqual(shared["containerName"], "shared.h")
        self.assertEqual(by_name["times"]["containerName"], "note_shared")
        self.assertEqual(by_name["steps"]["containerName"], "alpha")
        self.assertEqual(by_name["seen"]["containerName"], "later")
        self.assertEqual(by_name["beta"]["location"]["uri"],
                         uri_of(self.beta))
        self.assertEqual(by_name["beta"]["kind"], 12)
        self.assertEqual(by_name["shared_count"]["kind"], 13)
        # The header open as well: still each place once.
        self.open(self.header)
        self.s.diagnostics(self.header)
        self.assertEqual(sorted(s["name"] for s in self.symbols("")), names)
        # A closed document's own names go with it.
        self.s.client.notify("textDocument/didClose",
                             {"textDocument": {"uri": uri_of(self.beta)}})
        self.assertNotIn("beta", [s["name"] for s in self.symbols("")])

    def test_query_filters(self):
        self.open_programs()
        cases = [("shc", ["shared_count"]), ("SHC", ["shared_count"]),
                 ("nsh", ["note_shared"]), ("a", ["alpha", "beta",
                                                  "later",
                                                  "note_shared",
                                                  "shared_count"]),
                 ("ps", ["steps"]), ("zz", [])]
        for query, expected in cases:
            with self.subTest(query=query):
                self.assertEqual(sorted(s["name"] for s in
                                        self.symbols(query)), expected)
        reply = self.s.client.request("workspace/symbol", {"query": 3})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)

    def test_after_an_edit_the_new_names(self):
        self.open_programs()
        self.s.change(self.beta, [{"text": self.BETA.replace("beta",
                                                             "gamma")}])
        names = [s["name"] for s in self.symbols("")]
        self.assertIn("gamma", names)
        self.assertNotIn("beta", names)


if __name__ == "__main__":
    lspsession.SERVER = os.path.abspath(sys.argv.pop(1))
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
