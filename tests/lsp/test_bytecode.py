"""Protocol tests of qxl-lsp's bytecode view: code lenses with the key
bindings and code sizes of functions, and the listing of one function
(qxl/disassemble and the qxl.disassemble command), checked against what
qxl and qxldis make of the same file.

usage: test_bytecode.py QXL_LSP QXL QXLDIS SOURCE_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lspsession  # noqa: E402
from lspsession import INVALID_PARAMS, Session, position, uri_of  # noqa: E402

QXL = None
QXLDIS = None
SOURCE_DIR = None

DISASSEMBLE = "qxl.disassemble"
SOURCE_NOTE = re.compile(r"^ +; (\d+): (.*)$")
DEBUG_LINE = re.compile(r"^ +\d+  +OP_DEBUG_LINE (\d+)$")


def qxldis_blocks(source, workdir):
    """The blocks of qxldis's listing of `source` compiled by qxl, by the
    name of their function as the source writes it: each block runs from
    its record's line through its key binding records."""
    subprocess.run([QXL, "-n", source], cwd=workdir, check=True,
                   stdout=subprocess.DEVNULL)
    binary = os.path.join(
        workdir, os.path.splitext(os.path.basename(source))[0] + ".b")
    listing = subprocess.run([QXLDIS, binary], check=True,
                             capture_output=True, text=True).stdout
    blocks, name, lines = {}, None, []
    for line in listing.splitlines(keepends=True):
        if line.startswith("@") and " key binding" not in line:
            if name is not None:
                blocks[name] = "".join(lines)
            match = re.match(r"@\d+ (?:command|function) (\S+)$", line)
            name = match.group(1).replace("-", "_") if match else None
            lines = []
        lines.append(line)
    return blocks


def code_bytes(block):
    return int(re.search(r"code length: \d+ \((\d+) code bytes?\)",
                         block).group(1))


class HelloView(unittest.TestCase):
    """The view of examples/hello.q, copied into the session's directory."""

    def setUp(self):
        self.s = Session(self)
        self.path = os.path.join(self.s.dir, "hello.q")
        shutil.copy(os.path.join(SOURCE_DIR, "examples", "hello.q"),
                    self.path)
        with open(self.path) as source:
            self.text = source.read()
        self.lines = self.text.split("\n")
        self.blocks = qxldis_blocks(self.path, self.s.dir)
        self.s.open(self.path)
        self.assertEqual(self.s.diagnostics(self.path)["diagnostics"], [])
        self.uri = uri_of(self.path)

    def lenses(self):
        reply = self.s.client.request("textDocument/codeLens", {
            "textDocument": {"uri": self.uri}})
        return reply["result"]

    def word_at(self, at):
        line = self.lines[at["line"]]
        return re.match(r"\w*", line[at["character"]:]).group(0)

    def lens_titles(self):
        """The lens titles of each function, by the name they stand on."""
        titles = {}
        for lens in self.lenses():
            name = self.word_at(lens["range"]["start"])
            titles.setdefault(name, []).append(lens["command"]["title"])
        return titles

    def line_of(self, text):
        return next(i for i, line in enumerate(self.lines) if text in line)

    def disassemble(self, line, character):
        return self.s.client.request("qxl/disassemble", {
            "textDocument": {"uri": self.uri},
            "position": position(line, character)})

    def check_listing(self, result, name):
        """The listing is qxldis's block of the function with the source
        line under each OP_DEBUG_LINE."""
        self.assertEqual(result["name"], name)
        plain, notes = [], 0
        for line in result["listing"].splitlines(keepends=True):
            note = SOURCE_NOTE.match(line.rstrip("\n"))
            if note is None:
                plain.append(line)
                continue
            notes += 1
            number = int(note.group(1))
            self.assertEqual(note.group(2), self.lines[number - 1].rstrip())
            debug = DEBUG_LINE.match(plain[-1].rstrip("\n"))
            self.assertIsNotNone(debug, plain[-1])
            self.assertEqual(int(debug.group(1)), number)
            # The note is indented to the instruction's name.
            self.assertEqual(line.index(";"), plain[-1].index("OP_DEBUG_LINE"))
        self.assertEqual("".join(plain), self.blocks[name])
        self.assertEqual(notes, self.blocks[name].count("OP_DEBUG_LINE"))
        self.assertGreater(notes, 0)

    def test_capabilities(self):
        caps = self.s.init["result"]["capabilities"]
        self.assertIn("codeLensProvider", caps)
        self.assertIn(DISASSEMBLE, caps["executeCommandProvider"]["commands"])

    def test_key_binding_lenses(self):
        titles = self.lens_titles()
        self.assertEqual(titles["say_hello"][0], "Alt-h \u00b7 C-x h")
        self.assertEqual(titles["find_todo"][0], "C-x t \u00b7 F4")
        self.assertEqual(titles["describe_key"][0], "F1")
        self.assertEqual(titles["toggle_case_region"][0], "C-x C-u")
        self.assertEqual(titles["tidy_line"][0], "C-x Tab")
        self.assertEqual(titles["center_line"][0], "Alt-s")
        self.assertEqual(titles["set_fill_column"][0], "C-x f \u00b7 C-x F")
        # Plain functions have their size only.
        self.assertEqual(len(titles["clamp"]), 1)

    def test_lenses_stand_on_the_definitions(self):
        for lens in self.lenses():
            at = lens["range"]["start"]
            name = self.word_at(at)
            self.assertEqual(lens["range"]["end"],
                             position(at["line"], at["character"] + len(name)))
            # The definition, not the prototype before it.
            self.assertNotRegex(self.lines[at["line"]], r";\s*$")
            self.assertEqual(lens["command"]["command"], DISASSEMBLE)
            self.assertEqual(lens["command"]["arguments"], [self.uri, at])
        at = self.line_of("command say_hello()")
        self.assertIn(at, [lens["range"]["start"]["line"]
                           for lens in self.lenses()])
        at = self.line_of("int clamp(value, low, high)")
        self.assertIn(position(at, 4), [lens["range"]["start"]
                                        for lens in self.lenses()])

    def test_code_sizes_are_those_qxldis_shows(self):
        titles = self.lens_titles()
        self.assertEqual(set(titles), set(self.blocks))
        for name, block in self.blocks.items():
            commands = block.split("\n", 1)[0].split()[1] == "command"
            self.assertEqual(len(titles[name]), 2 if commands else 1, name)
            self.assertEqual(titles[name][-1],
                             "%d bytes of code" % code_bytes(block), name)

    def test_listing_by_position_in_the_body(self):
        line = self.line_of("stuff(greeting);")
        self.check_listing(self.disassemble(line, 3)["result"], "say_hello")
        # The first and the closing brace belong to the function too.
        start = self.line_of("int clamp(value, low, high)")
        for line in (start, start + 2, start + 6):
            self.check_listing(self.disassemble(line, 0)["result"], "clamp")

    def test_listing_by_name(self):
        # clamp called in center_line: the name picks the function called.
        line = self.line_of("pad = clamp(")
        character = self.lines[line].index("clamp") + 2
        self.check_listing(self.disassemble(line, character)["result"],
                           "clamp")
        line = self.line_of("command toggle_case_region()")
        character = self.lines[line].index("toggle_case_region")
        self.check_listing(self.disassemble(line, character)["result"],
                           "toggle_case_region")

    def test_listing_through_the_lens_command(self):
        for lens in self.lenses():
            command = lens["command"]
            reply = self.s.client.request("workspace/executeCommand", {
                "command": command["command"],
                "arguments": command["arguments"]})
            name = self.word_at(lens["range"]["start"])
            self.assertEqual(reply["result"]["name"], name)
        lens = self.lenses()[0]
        reply = self.s.client.request("workspace/executeCommand", {
            "command": DISASSEMBLE, "arguments": lens["command"]["arguments"]})
        self.check_listing(reply["result"],
                           self.word_at(lens["range"]["start"]))

    def test_no_function_there(self):
        for line in (0, self.line_of("keytable main_keys"),
                     self.line_of("char greeting[]"),
                     self.line_of("/* Keep value between low and high"),
                     self.line_of("int clamp(int value, int low, int high);"),
                     len(self.lines) + 10):
            self.assertIsNone(self.disassemble(line, 0)["result"], line)
        # A blank line between two functions.
        line = self.line_of("int clamp(value, low, high)") + 7
        self.assertEqual(self.lines[line], "")
        self.assertIsNone(self.disassemble(line, 0)["result"])

    def test_bad_requests(self):
        reply = self.s.client.request("workspace/executeCommand", {
            "command": "qxl.unknown", "arguments": [self.uri, position(0, 0)]})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = self.s.client.request("workspace/executeCommand", {
            "command": DISASSEMBLE, "arguments": [self.uri]})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = self.s.client.request("workspace/executeCommand", {
            "command": DISASSEMBLE,
            "arguments": [self.uri, {"line": -1, "character": 0}]})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = self.s.client.request("qxl/disassemble", {
            "textDocument": {"uri": uri_of(self.s.dir + "/other.q")},
            "position": position(0, 0)})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        reply = self.s.client.request("qxl/disassemble", {
            "textDocument": {"uri": self.uri}})
        self.assertEqual(reply["error"]["code"], INVALID_PARAMS)
        # The server goes on answering.
        self.assertTrue(self.lenses())

    def test_a_broken_document_has_no_bytecode_view(self):
        line = self.line_of("stuff(greeting);")
        self.s.change(self.path, [{"range": {"start": position(line, 0),
                                             "end": position(line, 0)},
                                   "text": "        undeclared_variable = 1;\n"}])
        diagnostics = self.s.diagnostics(self.path)["diagnostics"]
        self.assertTrue(any(d["severity"] == 1 for d in diagnostics))
        self.assertEqual(self.lenses(), [])
        self.assertIsNone(self.disassemble(line + 1, 0)["result"])
        reply = self.s.client.request("workspace/executeCommand", {
            "command": DISASSEMBLE, "arguments": [self.uri, position(line, 0)]})
        self.assertIsNone(reply["result"])
        # Taking the line out again brings the view back.
        self.s.change(self.path, [{"range": {"start": position(line, 0),
                                             "end": position(line + 1, 0)},
                                   "text": ""}])
        self.assertEqual(self.s.diagnostics(self.path)["diagnostics"], [])
        self.check_listing(self.disassemble(line, 3)["result"], "say_hello")


class Included(unittest.TestCase):
    def test_functions_of_a_header(self):
        s = Session(self)
        s.write("defs.h", "keytable keys;\n\nint twice(int n)\n{\n"
                          "        return 2 * n;\n}\n")
        main = s.write("main.q", '#include "defs.h"\n\ncommand go()\n'
                                 "{\n        say(\"%d\", twice(2));\n}\n")
        s.open(main)
        self.assertEqual(s.diagnostics(main)["diagnostics"], [])
        reply = s.client.request("textDocument/codeLens", {
            "textDocument": {"uri": uri_of(main)}})
        self.assertEqual([lens["command"]["title"] for lens in reply["result"]],
                         ["no key bindings", "%d bytes of code" % code_bytes(
                             qxldis_blocks(main, s.dir)["go"])])
        # The name of the header's function in the main source lists it,
        # with the header's lines.
        reply = s.client.request("qxl/disassemble", {
            "textDocument": {"uri": uri_of(main)},
            "position": position(4, 22)})["result"]
        self.assertEqual(reply["name"], "twice")
        self.assertIn("; 5:         return 2 * n;\n", reply["listing"])
        reply = s.client.request("qxl/disassemble", {
            "textDocument": {"uri": uri_of(main)},
            "position": position(4, 8)})["result"]
        self.assertEqual(reply["name"], "go")
        self.assertIn("; 5:         say(\"%d\", twice(2));\n", reply["listing"])


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    lspsession.SERVER = SERVER
    QXL = os.path.abspath(sys.argv.pop(1))
    QXLDIS = os.path.abspath(sys.argv.pop(1))
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
