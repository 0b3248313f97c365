#!/usr/bin/env python3
"""Tests of the benchmark's own tools: the bare-tokenizer floor and the split
of a callgrind count by stage.

Usage: test_bench.py [C++ compiler]   (standard library only; builds the
floor in a temporary directory)
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import stages  # noqa: E402

CXX = "c++"


FLOOR_LINE = re.compile(
    r"tokens (?P<tokens>\d+) \(names (?P<names>\d+), numbers (?P<numbers>\d+), "
    r"strings (?P<strings>\d+), chars (?P<chars>\d+), operators "
    r"(?P<operators>\d+)\), distinct names (?P<distinct>\d+), lines "
    r"(?P<lines>\d+), includes (?P<includes>\d+), checksum "
    r"(?P<checksum>[0-9a-f]{16})$")


def parse_floor(text):
    """The floor's checksum line as a dict of its counts."""
    m = FLOOR_LINE.match(text.strip())
    if not m:
        raise AssertionError("not the floor's line: %r" % text)
    return {k: (v if k == "checksum" else int(v))
            for k, v in m.groupdict().items()}


class FloorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="qxl-floor-test.")
        cls.floor = os.path.join(cls.dir, "qxl-floor")
        subprocess.run([CXX, "-O2", "-std=c++20", "-Wall", "-Wextra",
                        "-Werror", "-o", cls.floor,
                        os.path.join(HERE, "floor.cpp")], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def run_on(self, files, main="main.q"):
        for name, text in files.items():
            mode = "wb" if isinstance(text, bytes) else "w"
            with open(os.path.join(self.dir, name), mode) as fh:
                fh.write(text)
        p = subprocess.run([self.floor, main], cwd=self.dir,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=30)
        return p.returncode, p.stdout.decode(), p.stderr.decode()

    def counts(self, text):
        code, out, err = self.run_on({"main.q": text})
        self.assertEqual((code, err), (0, ""))
        return parse_floor(out)

    def test_token_kinds_and_lines(self):
        c = self.counts(textwrap.dedent("""\
            int f(int a) /* two
            lines */ { return a <<= 0x1F, a->b ... 'x' + "s\\"t"; }
            // a comment with "quotes" and 'x'
            """))
        self.assertEqual(c["names"], 8)          # int f int a return a a b
        self.assertEqual(c["distinct"], 5)       # int f a return b
        self.assertEqual(c["numbers"], 1)
        self.assertEqual(c["strings"], 1)        # the escaped quote inside
        self.assertEqual(c["chars"], 1)          # nothing of the comments
        # ( ) { <<= , -> ... + ; }
        self.assertEqual(c["operators"], 10)
        self.assertEqual(c["tokens"], 21)
        self.assertEqual(c["lines"], 3)          # one inside the comment

    def test_names_are_interned_across_table_growth(self):
        names = ["n%d" % i for i in range(5000)]
        c = self.counts(" ".join(names + names[::-1]) + "\n")
        self.assertEqual(c["names"], 10000)
        self.assertEqual(c["distinct"], 5000)

    def test_escapes_are_decoded(self):
        # The checksum takes a string's decoded length and a character
        # constant's value: escapes must give the same as what they stand for.
        escaped = self.counts('"\\x41\\101\\"" \'\\n\' 07 0x1f\n')
        plain = self.counts('"AB\\"" \'\\012\' 7 31\n')
        self.assertEqual((escaped["strings"], escaped["chars"]), (1, 1))
        self.assertEqual(escaped["checksum"], plain["checksum"])
        longer = self.counts('"ABC\\"" \'\\012\' 7 31\n')
        self.assertNotEqual(longer["checksum"], plain["checksum"])
        other = self.counts('"AB\\"" \'\\t\' 7 31\n')
        self.assertNotEqual(other["checksum"], plain["checksum"])

    def test_include_is_followed_relative_to_the_includer(self):
        os.makedirs(os.path.join(self.dir, "sub"), exist_ok=True)
        code, out, err = self.run_on({
            "sub/defs.h": "#define N 3\nint defined_here;\n",
            "sub/main.q": '#include "defs.h"\nint x = N;\n'}, "sub/main.q")
        self.assertEqual((code, err), (0, ""))
        c = parse_floor(out)
        self.assertEqual(c["includes"], 1)
        self.assertEqual(c["lines"], 4)
        # include, define N int defined_here, int x N
        self.assertEqual(c["names"], 8)

    def test_bad_input_ends_cleanly(self):
        cases = {
            "unterminated comment": "int a; /* never closed",
            "unterminated string": 'char *s = "open\n',
            "escape at the end": '"\\',
            "hash at the end": "#",
            "stray bytes": bytes(range(256)) * 4,
        }
        for what, text in cases.items():
            with self.subTest(what):
                code, out, err = self.run_on({"main.q": text})
                self.assertEqual(code, 0, err)
                self.assertTrue(out.startswith("tokens "))

    def test_missing_and_looping_includes_fail_with_a_message(self):
        code, _, err = self.run_on({"main.q": '#include "absent.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn("cannot read", err)
        code, _, err = self.run_on({"main.q": '#include "main.q"\n'})
        self.assertEqual(code, 1)
        self.assertIn("nested too deeply", err)


# A callgrind output in the form callgrind writes, for a program in /repo:
# main (driver) calls scan (source/, whose first instruction callgrind
# filed under a library header) and parse (types/); scan calls memcpy and
# an out-of-line std::vector instance; std::sort, called by parse, calls
# back into the program's compare.
CALLGRIND = """\
version: 1
creator: callgrind-3.19.0
positions: line
events: Ir
summary: 1000

ob=(1) /repo/qxl
fl=(1) /repo/driver/main.cpp
fn=(1) main
10 5
cfi=(2) /usr/include/c++/12/bits/stl_vector.h
cfn=(2) qxl::scan()
calls=1 20
11 300
cfi=(3) /repo/types/expressions.cpp
cfn=(3) qxl::parse()
calls=1 30
12 400

fl=(2)
fn=(2)
20 40
fi=(4) /repo/source/lexer.cpp
21 100
fe=(2)
22 10
cob=(2) /lib/libc.so.6
cfi=(5) memmove.S
cfn=(4) memcpy
calls=3 0
23 50
cfn=(5) std::vector<qxl::Token>::_M_realloc_insert(int)
calls=1 0
24 100

fl=(3)
fn=(3)
30 200
cfi=(6) /usr/include/c++/12/bits/stl_algo.h
cfn=(6) void std::sort<int*>(int*, int*)
calls=1 0
31 200

fl=(6)
fn=(6)
0 120
cfi=(7) /repo/types/types.cpp
cfn=(7) qxl::compare(int, int)
calls=9 0
0 80

fl=(7)
fn=(7)
40 80

ob=(2)
fl=(5)
fn=(4)
0 50
fl=(2)
fn=(5)
0 100
fn=(8) _dl_start
0 295
"""


class StagesTest(unittest.TestCase):
    def setUp(self):
        fd, self.path = tempfile.mkstemp(suffix=".cg")
        with os.fdopen(fd, "w") as fh:
            fh.write(CALLGRIND)

    def tearDown(self):
        os.unlink(self.path)

    def test_split_by_the_file_each_function_was_compiled_from(self):
        r = stages.split(self.path, "/repo")
        self.assertEqual(r.total, 1000)
        # scan: its own lines (40 + 100 + 10) with memcpy and the vector
        # instance it calls, though callgrind filed it under a header.
        self.assertEqual(r.stages["front"], 150 + 50 + 100)
        # parse and the sort it calls; compare, called back by the sort,
        # is counted in the sort and again on its own, and said so.
        self.assertEqual(r.stages["parse"], 200 + 200 + 80)
        self.assertEqual(r.callbacks, 80)
        self.assertEqual(r.stages["driver"], 5)
        self.assertEqual(r.stages["codegen"], 0)
        # What the program did not call: the loader.
        self.assertEqual(r.rest(), 1000 - 300 - 480 - 5)
        self.assertEqual(stages.top_functions(r, "front"), [("scan", 300)])

    def test_qualified_names(self):
        q = stages._qualified
        self.assertEqual(q("void qxl::emit<int>(int)"), "qxl::emit<int>")
        self.assertEqual(q("qxl::(anonymous namespace)::f(std::pair<a, b>)"),
                         "qxl::f")
        self.assertEqual(q("std::pair<int, int> std::x<qxl::T>(int)"),
                         "std::x<qxl::T>")
        self.assertEqual(q("main"), "main")

    def test_library_instances_for_the_programs_types_are_the_librarys(self):
        fn = stages._Function()
        fn.home = ["/usr/include/c++/12/bits/deque.tcc"]
        fn.lines = {"/repo/types/nodes.cpp": 10}
        self.assertIsNone(stages._stage_of(
            "void std::deque<qxl::Node>::_M_push_back_aux<>()", fn, "/repo",
            stages.QXL_STAGES, {}))
        self.assertEqual(stages._stage_of(
            "qxl::new_node()", fn, "/repo", stages.QXL_STAGES, {}), "nodes")


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        CXX = sys.argv.pop(1)
    unittest.main()
