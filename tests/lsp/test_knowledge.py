"""Protocol tests of qxl-lsp on what it knows beyond declared names:
macros, structure members, key tables, color classes and schemes, on
examples/hello.q and on a program whose header defines a structure and
macros.

usage: test_knowledge.py QXL_LSP SOURCE_DIR
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import lspsession  # noqa: E402
from lspsession import Session, position, uri_of  # noqa: E402

SERVER = None
SOURCE_DIR = None

# Protocol kinds.
SYMBOL_NAMESPACE, SYMBOL_FIELD, SYMBOL_ENUM = 3, 8, 10
SYMBOL_CONSTANT, SYMBOL_ENUM_MEMBER, SYMBOL_STRUCT = 14, 22, 23
ITEM_FUNCTION, ITEM_FIELD, ITEM_CONSTANT = 3, 5, 21


class Document:
    """An open document of a session and questions about its text."""

    def __init__(self, session, path, text=None):
        self.s = session
        self.path = path
        if text is None:
            with open(path) as source:
                text = source.read()
        self.lines = text.split("\n")
        session.open(path, text)
        self.published = session.diagnostics(path)

    def at(self, word, line_has, after=0):
        """The position inside `word` (`after` characters into it) on the
        first line that has `line_has`; the word is looked for from where
        `line_has` starts."""
        for i, line in enumerate(self.lines):
            if line_has in line:
                start = line.index(line_has)
                return position(i, line.index(word, start) + after)
        raise AssertionError("no line with " + line_has)

    def line_of(self, text):
        return next(i for i, l in enumerate(self.lines) if text in l)

    def ask(self, method, pos=None, **extra):
        params = {"textDocument": {"uri": uri_of(self.path)}}
        if pos is not None:
            params["position"] = pos
        params.update(extra)
        return self.s.client.request(method, params)["result"]

    def hover_text(self, word, line_has):
        reply = self.ask("textDocument/hover", self.at(word, line_has, 1))
        return reply["contents"]["value"] if reply else None

    def labels(self, word, line_has):
        """The completion labels offered where `word` starts."""
        items = self.ask("textDocument/completion", self.at(word, line_has))
        return sorted(i["label"] for i in items["items"])


class Hello(unittest.TestCase):
    """examples/hello.q: key tables, color classes and schemes, and the
    members of struct note_style through a variable and a typedef."""

    @classmethod
    def setUpClass(cls):
        cls.case = unittest.TestCase()
        cls.s = Session(cls.case)
        cls.d = Document(cls.s, os.path.join(SOURCE_DIR, "examples", "hello.q"))

    @classmethod
    def tearDownClass(cls):
        cls.case.doCleanups()

    def test_compiles_cleanly(self):
        self.assertEqual(self.d.published["diagnostics"], [])

    def test_hover_on_members(self):
        # fg, bg: 4 bytes each; width a short at 8; title 12 16-bit chars.
        text = self.d.hover_text("width", "st->width")
        self.assertIn("member of struct note_style, offset 8, 2 bytes", text)
        self.assertIn("short width", text)
        text = self.d.hover_text("width", "style.width = style.width / 2")
        self.assertIn("offset 8", text)
        text = self.d.hover_text("title", "char title[12]")
        self.assertIn("offset 10, 24 bytes", text)

    def test_hover_on_a_structure_tag(self):
        text = self.d.hover_text("note_style", "typedef struct note_style")
        self.assertIn("struct note_style", text)
        self.assertIn("structure, 36 bytes, 4 members", text)

    def test_hover_on_key_tables(self):
        self.assertIn("key table 1",
                      self.d.hover_text("main_keys", "keytable main_keys"))
        self.assertIn("key table 2", self.d.hover_text(
            "ctlx_keys", "say_hello() on main_keys['h' | 0x100], ctlx"))

    def test_hover_on_color_classes_and_schemes(self):
        text = self.d.hover_text("note_text", "color_class note_text =")
        self.assertIn("color class 0, default colors 0x00c0c0 on 0x000000",
                      text)
        text = self.d.hover_text("todo_mark", "int color = color_class todo")
        self.assertIn("color class 2", text)
        self.assertNotIn("default colors", text)
        text = self.d.hover_text("note_border", "color_class note_border =")
        self.assertIn("color class 1", text)
        text = self.d.hover_text("paper", 'color_scheme "paper"')
        self.assertIn("color scheme, sets note_text, note_border", text)

    def test_completion_after_member_operators(self):
        members = ["bg", "fg", "title", "width"]
        # A global pointer (through a typedef name) and a local structure.
        self.assertEqual(self.d.labels("width", "st->width"), members)
        self.assertEqual(self.d.labels("width", "style.width ="), members)

    def test_completion_in_key_binding_clauses(self):
        tables = ["ctlx_keys", "main_keys"]
        self.assertEqual(self.d.labels("main_keys", "say_hello() on"), tables)
        self.assertEqual(
            self.d.labels("ctlx_keys", "ctlx_keys['h']"),
            tables)
        self.assertEqual(
            self.d.labels("ctlx_keys", "ctlx_keys['F']"),
            tables)
        # The "on" of a color value is not a binding clause.
        self.assertIn("say", self.d.labels("0x000000", "note_text = 0x00c0c0 on"))

    def test_completion_after_color_class(self):
        classes = ["note_border", "note_text", "todo_mark"]
        self.assertEqual(self.d.labels("todo_mark", "color_class todo_mark;"),
                         classes)
        self.assertEqual(self.d.labels("note_text", "= color_class note_text;"),
                         classes)
        # Elsewhere they are names among the others.
        labels = self.d.labels("greeting", "char greeting[]")
        for name in classes + ["main_keys", "say", "greeting"]:
            self.assertIn(name, labels)
        self.assertNotIn("width", labels)

    def test_member_definition_and_references(self):
        use = self.d.at("width", "st->width", 1)
        definition = self.d.ask("textDocument/definition", use)
        self.assertEqual(definition["range"]["start"],
                         self.d.at("width", "short width;"))
        refs = self.d.ask("textDocument/references", use,
                          context={"includeDeclaration": True})
        lines = sorted(r["range"]["start"]["line"] for r in refs)
        halved = self.d.line_of("style.width = style.width / 2")
        self.assertEqual(lines.count(halved), 2)
        self.assertIn(self.d.line_of("st->width"), lines)
        self.assertIn(self.d.line_of("short width;"), lines)
        # Each range is the member's word, not another word of its line.
        for r in refs:
            line = self.d.lines[r["range"]["start"]["line"]]
            self.assertEqual(line[r["range"]["start"]["character"]:
                                  r["range"]["end"]["character"]], "width")

    def test_color_class_definition_and_highlight(self):
        use = self.d.at("note_text", "int color = color_class note_text", 1)
        definition = self.d.ask("textDocument/definition", use)
        self.assertEqual(definition["range"]["start"],
                         self.d.at("note_text", "color_class note_text ="))
        marks = self.d.ask("textDocument/documentHighlight", use)
        lines = sorted(m["range"]["start"]["line"] for m in marks)
        self.assertEqual(lines, sorted([
            self.d.line_of("color_class note_text ="),
            self.d.line_of("color_class note_text 0x000000"),
            self.d.line_of("= color_class note_text;"),
            self.d.line_of("int color = color_class note_text")]))

    def test_document_symbols(self):
        symbols = {s["name"]: s for s in self.d.ask("textDocument/documentSymbol")}
        self.assertEqual(symbols["main_keys"]["kind"], SYMBOL_NAMESPACE)
        self.assertEqual(symbols["note_text"]["kind"], SYMBOL_ENUM_MEMBER)
        self.assertEqual(symbols["paper"]["kind"], SYMBOL_ENUM)
        self.assertIn("dark", symbols)
        style = symbols["note_style"]
        self.assertEqual(style["kind"], SYMBOL_STRUCT)
        self.assertEqual([(c["name"], c["kind"]) for c in style["children"]],
                         [("fg", SYMBOL_FIELD), ("bg", SYMBOL_FIELD),
                          ("width", SYMBOL_FIELD), ("title", SYMBOL_FIELD)])
        # The structure's range holds its members.
        self.assertEqual(style["range"]["end"],
                         style["children"][-1]["range"]["end"])
        for member in ("fg", "width", "title"):
            self.assertNotIn(member, symbols)
        # Functions keep their locals.
        self.assertEqual([c["name"] for c in symbols["clamp"]["children"]],
                         ["value", "low", "high"])


HEADER = """\
#define LIMIT 40
#define MAX(a, b) ((a) > (b) ? (a) : (b))
struct pair {
        int left;
        struct pair *next;
        char name[6];
};
typedef struct { int count; struct pair *first; } List;
"""

MAIN = """\
#include "pair.h"
struct pair head;
int left;
List all;
f()
{
        struct pair *p = &head;

        left = MAX(head.left, LIMIT);
        p->next->left = left;
        all.first->next->name[0] = 'x';
}
#undef LIMIT
"""


class Included(unittest.TestCase):
    """A structure and macros defined in a header and used in the main
    file."""

    def setUp(self):
        self.s = Session(self)
        self.header = self.s.write("pair.h", HEADER)
        self.main = Document(self.s, self.s.write("main.q", MAIN), MAIN)
        self.assertEqual(self.main.published["diagnostics"], [])

    def header_position(self, word, line_has):
        for i, line in enumerate(HEADER.split("\n")):
            if line_has in line:
                return position(i, line.index(word))
        raise AssertionError(line_has)

    def test_hover_on_macros(self):
        text = self.main.hover_text("MAX", "left = MAX")
        self.assertIn("```qxl\n#define MAX(a, b) ((a) > (b) ? (a) : (b))\n```",
                      text)
        self.assertIn("function-like macro, defined at pair.h line 2", text)
        text = self.main.hover_text("LIMIT", "head.left, LIMIT")
        self.assertIn("#define LIMIT 40", text)
        self.assertIn("removed at main.q line 13", text)

    def test_definition_of_a_macro_and_a_member_in_the_header(self):
        reply = self.main.ask("textDocument/definition",
                              self.main.at("MAX", "left = MAX", 1))
        self.assertEqual(reply["uri"], uri_of(self.header))
        self.assertEqual(reply["range"]["start"],
                         self.header_position("MAX", "#define MAX"))
        reply = self.main.ask("textDocument/definition",
                              self.main.at("next", "p->next->left", 1))
        self.assertEqual(reply["uri"], uri_of(self.header))
        self.assertEqual(reply["range"]["start"],
                         self.header_position("next", "*next;"))

    def test_a_member_and_a_variable_of_one_name(self):
        # "left = MAX(head.left": the global is the first word, the member
        # the one after the member operator.
        line = self.main.line_of("left = MAX(head.left")
        text = self.main.lines[line]
        global_hover = self.main.ask("textDocument/hover", position(line, 9))
        self.assertIn("global variable", global_hover["contents"]["value"])
        member_at = text.index("head.left") + 6
        member_hover = self.main.ask("textDocument/hover",
                                     position(line, member_at))
        self.assertIn("member of struct pair, offset 0, 4 bytes",
                      member_hover["contents"]["value"])
        refs = self.main.ask("textDocument/references", position(line, member_at),
                             context={"includeDeclaration": False})
        self.assertEqual(sorted((r["range"]["start"]["line"],
                                 r["range"]["start"]["character"]) for r in refs),
                         [(line, text.index("head.left") + 5),
                          (line + 1, self.main.lines[line + 1].index("left"))])

    def test_hover_through_pointer_members(self):
        text = self.main.hover_text("name", "->next->name")
        self.assertIn("member of struct pair, offset 16, 12 bytes", text)
        text = self.main.hover_text("first", "all.first")
        self.assertIn("member of struct List, offset 4, 12 bytes", text)

    def complete(self, line_text, column_text):
        """Completion items with the line of the main text that has
        `line_text` changed to `column_text`, asked at the end of it."""
        line = self.main.line_of(line_text)
        lines = list(self.main.lines)
        lines[line] = column_text
        self.s.change(self.main.path, [{"text": "\n".join(lines)}])
        self.s.diagnostics(self.main.path)
        return self.s.client.request("textDocument/completion", {
            "textDocument": {"uri": uri_of(self.main.path)},
            "position": position(line, len(column_text))})["result"]["items"]

    def test_completion_follows_member_chains(self):
        pair = ["left", "name", "next"]
        labels = lambda items: sorted(i["label"] for i in items)  # noqa: E731
        self.assertEqual(labels(self.complete("p->next->left", "        p->next->")), pair)
        self.assertEqual(labels(self.complete("left = MAX", "        all.")),
                         ["count", "first"])
        items = self.complete("all.first", "        all.first->next[0].")
        self.assertEqual(labels(items), pair)
        self.assertEqual({i["kind"] for i in items}, {ITEM_FIELD})
        # A member that is no structure leads nowhere: every member is
        # offered.
        self.assertEqual(labels(self.complete("p->next->left", "        (*p).")),
                         sorted(pair + ["count", "first"]))
        self.assertEqual(labels(self.complete("p->next->left", "        nothing->")),
                         sorted(pair + ["count", "first"]))

    def test_member_operators_trigger_completion(self):
        provider = self.s.init["result"]["capabilities"]["completionProvider"]
        self.assertEqual(sorted(provider["triggerCharacters"]), [".", ">"])

    def test_completion_offers_macros(self):
        items = {i["label"]: i for i in self.complete("p->next->left", "        M")}
        self.assertEqual(items["MAX"]["kind"], ITEM_FUNCTION)
        self.assertEqual(items["MAX"]["detail"],
                         "#define MAX(a, b) ((a) > (b) ? (a) : (b))")
        self.assertEqual(items["LIMIT"]["kind"], ITEM_CONSTANT)
        # Members and tags are not names of expressions.
        self.assertNotIn("next", items)
        self.assertNotIn("pair", items)

    def test_completion_after_struct_offers_tags(self):
        self.assertEqual(
            sorted(i["label"] for i in self.complete("p->next->left", "        struct ")),
            ["mouse_cursor", "pair", "print_options"])

    def test_document_symbols_of_the_header(self):
        self.s.open(self.header)
        symbols = self.s.client.request("textDocument/documentSymbol", {
            "textDocument": {"uri": uri_of(self.header)}})["result"]
        by_name = {s["name"]: s for s in symbols}
        self.assertEqual(by_name["MAX"]["kind"], SYMBOL_CONSTANT)
        self.assertEqual(by_name["MAX"]["detail"],
                         "#define MAX(a, b) ((a) > (b) ? (a) : (b))")
        self.assertEqual([c["name"] for c in by_name["pair"]["children"]],
                         ["left", "next", "name"])
        # The structure without tag is listed under its typedef name.
        self.assertEqual(by_name["List"]["kind"], SYMBOL_STRUCT)
        self.assertEqual([c["name"] for c in by_name["List"]["children"]],
                         ["count", "first"])


class Predefined(unittest.TestCase):
    def test_predefined_and_option_macros(self):
        s = Session(self, options="-dWIDE=80")
        text = ("#ifdef WIDE\nint columns = WIDE;\n#endif\n"
                "#ifndef WIDE\nint other;\n#endif\n")
        d = Document(s, s.write("p.q", text), text)
        self.assertEqual(d.published["diagnostics"], [])
        self.assertIn("#define WIDE 80\n```\npredefined macro",
                      d.hover_text("WIDE", "columns = WIDE"))
        # Both conditions name it; it has no place of definition.
        refs = d.ask("textDocument/references", d.at("WIDE", "#ifdef", 1),
                     context={"includeDeclaration": True})
        self.assertEqual(sorted(r["range"]["start"]["line"] for r in refs),
                         [0, 1, 3])
        self.assertIsNone(d.ask("textDocument/definition",
                                d.at("WIDE", "#ifdef", 1)))
        items = {i["label"]: i for i in d.ask("textDocument/completion",
                                              position(4, 4))["items"]}
        self.assertEqual(items["WIDE"]["detail"], "#define WIDE 80")


class EditorStructures(unittest.TestCase):
    def test_members_of_the_editors_structures(self):
        s = Session(self)
        text = ("show(struct print_options *o)\n{\n"
                "        struct mouse_cursor m;\n"
                "        m.hot_y = o->width;\n}\n")
        d = Document(s, s.write("e.q", text), text)
        self.assertEqual(d.published["diagnostics"], [])
        self.assertIn("member of struct mouse_cursor, offset 65, 1 byte",
                      d.hover_text("hot_y", "m.hot_y"))
        self.assertIn("member of struct print_options, offset 16, 4 bytes",
                      d.hover_text("width", "o->width"))
        self.assertEqual(d.labels("hot_y", "m.hot_y"),
                         ["hot_x", "hot_y", "off_pixels", "on_pixels",
                          "stock_cursor"])
        self.assertEqual(d.labels("width", "o->width"),
                         ["flags", "frompage", "height", "topage", "width"])
        # They have no place to go to.
        self.assertIsNone(d.ask("textDocument/definition",
                                d.at("hot_y", "m.hot_y", 1)))


class Colors(unittest.TestCase):
    def test_a_class_given_the_colors_of_another(self):
        s = Session(self)
        text = ('color_class plain = 0x102030, echo = color_class plain;\n'
                'color_scheme "night" { color_class echo 1 on 2; };\n')
        d = Document(s, s.write("c.q", text), text)
        self.assertIn("color class 0, default colors 0x102030",
                      d.hover_text("plain", "color_class plain"))
        self.assertNotIn(" on ", d.hover_text("plain", "color_class plain")
                         .split("```")[-1])
        self.assertIn("color class 1, by default the colors of plain",
                      d.hover_text("echo", "echo = color_class"))
        self.assertIn("sets echo", d.hover_text("night", '"night"'))


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    lspsession.SERVER = SERVER
    SOURCE_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
