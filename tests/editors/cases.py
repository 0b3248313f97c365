"""What the editor kits are tested on, shared by the tests of every editor.

prepare() writes QXL sources into a fresh folder, compiles them there with
the real qxl and writes cases.json beside them:

  runs        one entry per compile: the file holding qxl's output and the
              messages that an editor must find in it, in order, as
              [file, line, type, text]; type E (error), W (warning) or
              I (note), line 0 for a message about a whole file, text as
              printed after "warning: " or after the location
  highlights  positions in sources, each with the kind of highlighting
              that is expected there
  make        a source and the messages that compiling it gives, for the
              editors' own compile commands
"""

import json
import os
import shutil
import subprocess

# Sources, by file name relative to the work folder.
SOURCES = {
    "w.q": """\
f() { int unused; }
#frob
g(char *p) { int x; x = p; }
""",
    "more.q": """\
#define A 1
#define A 2
f(int a) { if (a) return 1; return; }
g() { int x; int y; y = x; return y; }
spot h() { return; }
char s[2] = "ab";
""",
    "lexer.q": """\
int a;
int b;
int c @;
int d $ #;
int e;
/* never closed
""",
    "include.q": """\
int a;
int b;
#include "sub dir/a b.h"
""",
    "sub dir/a b.h": """\
int c;
int d d;
""",
    "two words.q": """\
#include "missing.h"
""",
    "cast.q": """\
struct s { int a; } v;
f() { int *p; p = (int *) v; }
""",
    "block.q": """\
f()
{
        int x;
""",
    "eof.q": "int a",
    "abs dir/abs.q": "int f() { int z; }\n",
    "clean.q": "int f() { return 1; }\n",
    "has space.q": """\
f() { int unused; }
#frob
g(char *p) { int x; x = p; }
""",
    "snippet.q": """\
#include "sub dir/a b.h"
#tryinclude <maybe.h>
#define LIMIT 0b1010_1010
#if defined(LIMIT) && _QXL_
#frob this line is ignored
#endif
int n = 0o17 + 017 + 1_000 + 100L;
char c = '\\x{41}', d = '\\u[LATIN SMALL LETTER A]';
jmp_buf jb;
// a TODO in a line comment
/* a comment
#define NOT_A_DIRECTIVE 1
*/
""",
}

W_MESSAGES = [
    ["w.q", 2, "I", "unknown preprocessor directive"],
    ["w.q", 1, "W", "variable unused was not used"],
    ["w.q", 3, "I", "mismatched types: integer & pointer to character"],
    ["w.q", 3, "W", "variable x was set but not used"],
]
LEXER_MESSAGES = [
    ["lexer.q", 3, "I", "illegal character 64 ('@')"],
    ["lexer.q", 4, "I", "illegal character 36 ('$')"],
    ["lexer.q", 4, "I", "illegal character 35 ('#')"],
    ["lexer.q", 6, "I", "unterminated comment"],
]
INCLUDE_MESSAGES = [["sub dir/a b.h", 2, "E", "expected ;, not identifier"]]

# (name, arguments, exit status, messages).  "{abs}" stands for the
# absolute path of "abs dir/abs.q".
RUNS = [
    ("warnings", ["w.q"], 0, W_MESSAGES),
    ("warnings-verbose", ["-v", "-dDEBUG", "w.q"], 0, W_MESSAGES),
    ("more-warnings", ["more.q"], 0, [
        ["more.q", 3, "W",
         "redefinition of macro A does not match previous definition"],
        ["more.q", 3, "W", "function must return a value"],
        ["more.q", 4, "W", "possible use of x before definition"],
        ["more.q", 5, "W", "function must return a value"],
        ["more.q", 5, "I", "mismatched types: integer & spot"],
        ["more.q", 6, "W", "string will not be null terminated"],
    ]),
    ("lexer", ["lexer.q"], 0, LEXER_MESSAGES),
    # Progress marks: "lexer.q: ###lexer.q 3: ...", then "#lexer.q 4: ...".
    ("lexer-verbose", ["-v", "lexer.q"], 0, LEXER_MESSAGES),
    ("include", ["include.q"], 1, INCLUDE_MESSAGES),
    ("include-verbose", ["-v", "-iinc", "include.q"], 1, INCLUDE_MESSAGES),
    ("missing-include", ["two words.q"], 1, [
        ["two words.q", 2, "E", "can't open #include file missing.h"]]),
    ("cast", ["cast.q"], 1, [
        ["cast.q", 2, "I",
         "can't cast structure of {a: integer} to pointer to integer"],
        ["cast.q", 2, "E", "operation illegal with structure"],
    ]),
    ("unterminated-block", ["block.q"], 1, [
        ["block.q", 2, "E", "unterminated block"]]),
    ("end-of-file", ["eof.q"], 1, [
        ["eof.q", 1, "E", "expected ;, not end of file"]]),
    ("absolute", ["{abs}"], 0, [
        ["{abs}", 1, "W", "variable z was not used"]]),
    ("no-source", ["nosuch.q"], 1, [["nosuch.q", 0, "E", "can't open file"]]),
    ("no-output", ["-onodir/x.b", "w.q"], 1, [
        ["nodir/x.b", 0, "E", "can't create file"]]),
    ("usage", ["-z", "w.q"], 1, []),
    ("clean", ["clean.q"], 0, []),
    ("clean-verbose", ["-v", "clean.q"], 0, []),
]

# (file, text of the line, word in that text, expected kind).
HIGHLIGHTS = [
    ("hello.q", "keytable main_keys, ctlx_keys;", "keytable", "construct"),
    ("hello.q", "color_class note_text = 0x00c0c0 on", "color_class",
     "construct"),
    ("hello.q", "color_class note_text = 0x00c0c0 on", " on", "construct"),
    ("hello.q", "color_class note_text = 0x00c0c0 on", "0x00c0c0", "number"),
    ("hello.q", 'color_scheme "dark"', "color_scheme", "construct"),
    ("hello.q", 'color_scheme "dark"', '"dark"', "string"),
    ("hello.q", "user int tab_width", "user", "storage"),
    ("hello.q", "user int tab_width", "int", "type"),
    ("hello.q", "user byte verbose_notes", "byte", "type"),
    ("hello.q", "volatile int busy;", "volatile", "storage"),
    ("hello.q", "zeroed int total_indented;", "zeroed", "storage"),
    ("hello.q", "short indent_steps[]", "short", "type"),
    ("hello.q", "spot last_todo;", "spot", "type"),
    ("hello.q", "typedef struct note_style Style;", "typedef", "storage"),
    ("hello.q", "typedef struct note_style Style;", "struct", "type"),
    ("hello.q", "buffer int fill_column = 70;", "buffer", "storage"),
    ("hello.q", "window short ruler_shown;", "window", "storage"),
    ("hello.q", "command say_hello()", "command", "storage"),
    ("hello.q", "stuff(greeting);", "stuff", "primitive"),
    ("hello.q", "strcpy(line, note_prefix);", "strcpy", "primitive"),
    ("hello.q", "while (point > 0 && character(point - 1)", "point",
     "variable"),
    ("hello.q", "while (point > 0 && character(point - 1)", "character",
     "primitive"),
    ("hello.q", "for (; iter > 0; iter--)", "iter", "variable"),
    ("hello.q", "if (window_height < 3)", "window_height", "variable"),
    ("hello.q", "greetings_given++;", "greetings_given", "plain"),
    ("hello.q", "save_var point;", "save_var", "statement"),
    ("hello.q", "save_spot point;", "save_spot", "statement"),
    ("hello.q", "on_exit", "on_exit", "statement"),
    ("hello.q", "goto found;", "goto", "statement"),
    ("hello.q", "room = sizeof(line)", "sizeof", "statement"),
    ("hello.q", "default:\n", "default", "statement"),
    ("hello.q", 'char greeting[] = "Hello from QXL";', "Hello", "string"),
    ("hello.q", "case '\\n':", "'", "char"),
    ("hello.q", "case '\\n':", "\\n", "escape"),
    ("hello.q", "/* since the editor started */", "since", "comment"),
    ("hello.q", "/* Insert a greeting at point and count it. */", "point",
     "comment"),
    ("hello.q", "find the next TODO, FIXME", "TODO", "todo"),
    ("snippet.q", '#include "sub dir/a b.h"', "include", "include"),
    ("snippet.q", '#include "sub dir/a b.h"', '"sub', "include-file"),
    ("snippet.q", "#tryinclude <maybe.h>", "tryinclude", "include"),
    ("snippet.q", "#tryinclude <maybe.h>", "<maybe", "include-file"),
    ("snippet.q", "#define LIMIT", "define", "define"),
    ("snippet.q", "#define LIMIT 0b1010_1010", "0b1010", "number"),
    ("snippet.q", "#if defined(LIMIT)", "if", "conditional"),
    ("snippet.q", "#if defined(LIMIT) && _QXL_", "_QXL_", "predefined"),
    ("snippet.q", "#endif", "endif", "conditional"),
    ("snippet.q", "#frob this", "frob", "unknown-directive"),
    ("snippet.q", "int n = 0o17", "0o17", "number"),
    ("snippet.q", "+ 017 +", "017", "number"),
    ("snippet.q", "+ 1_000 +", "1_000", "number"),
    ("snippet.q", "+ 100L;", "100L", "number"),
    ("snippet.q", "char c = '\\x{41}'", "\\x{41}", "escape"),
    ("snippet.q", "d = '\\u[LATIN SMALL LETTER A]'", "SMALL", "escape"),
    ("snippet.q", "jmp_buf jb;", "jmp_buf", "builtin-type"),
    ("snippet.q", "// a TODO in a line comment", " a ", "comment"),
    ("snippet.q", "// a TODO in a line comment", "TODO", "todo"),
    ("snippet.q", "#define NOT_A_DIRECTIVE 1", "define", "comment"),
]

# The editors' own compile command on a file whose name has a blank.
MAKE = ("has space.q",
        [["has space.q", m[1], m[2], m[3]] for m in W_MESSAGES])


class SetupError(Exception):
    pass


def position(work, name, line_text, word):
    """Line and column (both from 1) of word within the line that
    holds line_text."""
    with open(os.path.join(work, name), encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            start = line.find(line_text)
            if start >= 0 and word in line_text:
                return number, start + line_text.index(word) + 1
    raise SetupError(f"{name}: no line with {line_text!r}")


def prepare(qxl, source_dir, work):
    """Writes the sources and the real outputs of qxl into work, which
    must exist, and returns the path of cases.json."""
    for name, text in SOURCES.items():
        path = os.path.join(work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    os.makedirs(os.path.join(work, "inc"), exist_ok=True)
    shutil.copy(os.path.join(source_dir, "examples", "hello.q"), work)
    absolute = os.path.join(os.path.realpath(work), "abs dir", "abs.q")

    def fill(value):
        return absolute if value == "{abs}" else value

    runs = []
    for name, args, status, messages in RUNS:
        args = [fill(a) for a in args]
        try:
            done = subprocess.run([qxl] + args, cwd=work, timeout=30,
                                  stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
        except subprocess.TimeoutExpired as e:
            raise SetupError(f"qxl {' '.join(args)}: no end in 30 s") from e
        if done.returncode != status:
            raise SetupError(f"qxl {' '.join(args)}: exit status "
                             f"{done.returncode}, not {status}:\n"
                             + done.stdout.decode("latin-1"))
        output = f"{name}.out"
        with open(os.path.join(work, output), "wb") as f:
            f.write(done.stdout)
        runs.append({"name": name, "output": output,
                     "messages": [[fill(m[0])] + m[1:] for m in messages]})

    highlights = []
    for name, line_text, word, kind in HIGHLIGHTS:
        line, column = position(work, name, line_text, word)
        if word.startswith(" "):
            column += len(word) - len(word.lstrip())
        highlights.append({"file": name, "line": line, "column": column,
                           "word": word.strip(), "kind": kind})

    cases = {"runs": runs, "highlights": highlights,
             "make": {"file": MAKE[0], "messages": MAKE[1]}}
    path = os.path.join(work, "cases.json")
    with open(path, "w", encoding="utf-8") as f:
        json.dump(cases, f, indent=1)
    return path
