#!/usr/bin/env python3
"""Write a synthetic but realistic QXL source file for benchmarking qxl.

The output is deterministic for a given seed and line count.  Two files are
written: the main source (OUT) and an include file (OUT's stem + "_defs.h",
in the same directory) that the main source includes.  Together they have
exactly the requested number of lines.

Full variant (default): an editor extension as people write them: globals
with initializers, structures, typedefs, macros, key tables and commands
bound to keys, color classes and schemes, buffer and window variables,
spots, save_var and on_exit, and calls of the editor's primitives.

Common variant (--common): the same shape restricted to what QXL shares
with C (int, char arrays, structs, pointers, loops, switches, macros,
#include), with its own helper functions instead of editor primitives.  The
result is valid QXL and valid C, so the same source can be given to a C
compiler for comparison.

Usage: generate.py --lines N [--seed S] [--common] [--no-preproc] -o OUT
"""

import argparse
import os
import random
import sys

# ---------------------------------------------------------------------------
# Vocabulary.  Every identifier the generator makes carries a module prefix
# or a per-function pool name; the pools below avoid the editor's built-in
# names, the reserved words of QXL and the keywords of C.

TOPICS = [
    "tabs", "words", "lines", "para", "marks", "region", "find", "fill",
    "indent", "bufs", "wins", "keys", "macro", "undo", "spell", "tags",
    "brace", "quote", "comment", "sort", "align", "wrap", "case", "column",
    "diff", "grep", "shell", "dired", "files", "paths", "hist", "menu",
    "popup", "status", "ruler", "fold", "outline", "abbrev", "complete",
    "compile", "errors", "debug", "build", "vcs", "mail", "news", "calc",
    "date", "print", "theme", "font", "mouse", "scroll", "split", "zoom",
    "record", "replay", "session", "project", "snippet",
]

VERBS = [
    "scan", "find", "count", "check", "skip", "move", "copy", "fill",
    "trim", "split", "join", "merge", "mark", "clear", "reset", "show",
    "hide", "toggle", "apply", "update", "compute", "measure", "parse",
    "format", "render", "insert", "remove", "replace", "select", "expand",
    "shrink", "rotate", "swap", "align", "center", "wrap", "unwrap", "store",
    "fetch", "load", "save", "sync", "test", "match", "compare", "locate",
    "advance", "retreat", "collect", "prepare",
]

OBJECTS = [
    "word", "line", "char", "tab", "blank", "region", "block", "item",
    "entry", "field", "column", "row", "name", "label", "title", "prefix",
    "suffix", "margin", "indent", "width", "limit", "range", "state",
    "table", "list", "slot", "token", "pair", "group", "level", "depth",
    "offset", "anchor", "cursor", "target", "buffer_name", "file_name",
    "keyword", "pattern", "count", "total", "weight", "score", "flag",
    "mode", "style", "color", "note", "message", "status",
]

LOCAL_INTS = [
    "n", "len", "count", "total", "start", "stop", "pos", "col", "width",
    "found", "limit", "step", "depth", "flags", "best", "last", "first",
    "prev", "result", "value", "offset", "delta", "sum", "hits", "misses",
    "level", "nlines", "nwords", "room", "pad", "margin", "score", "weight",
    "cur", "lo", "hi", "mid", "span", "tries", "dist", "ch", "c", "done",
    "changed", "state", "kind", "code", "base", "shift", "mask", "top",
    "bottom", "left", "right", "lineno", "colno", "quota", "rank",
]

LOCAL_BUFS = ["buf", "text", "line", "label", "msg", "word", "name", "tmp",
              "title", "path", "field", "head", "tail", "scratch", "out"]

LOCAL_PTRS = ["p", "q", "s", "t", "cp", "from", "dst", "src", "here",
              "rest", "mark_ptr", "w"]

LOCAL_RECS = ["rec", "ent", "item", "node", "cell", "slot", "elem", "info"]

ADJECTIVES = [
    "current", "next", "previous", "empty", "long", "short", "hidden",
    "visible", "marked", "unsaved", "narrow", "wide", "first", "last",
    "broken", "quoted", "nested", "open", "closed", "folded", "selected",
    "pending", "stale", "fresh", "odd", "even", "blank", "trailing",
    "leading", "matching",
]

NOUNS = [
    "line", "word", "buffer", "window", "region", "column", "tab stop",
    "paragraph", "sentence", "bracket", "brace", "quote", "comment",
    "file", "directory", "key", "binding", "macro", "command", "pattern",
    "match", "margin", "indent", "block", "field", "record", "label",
    "color", "scheme", "error", "warning", "message", "item", "entry",
    "tag", "mark", "spot", "page", "screen", "list",
]

PREPS = ["in", "after", "before", "near", "past", "inside", "around",
         "under", "over", "beyond"]

MSG_VERBS = [
    "Cannot find", "Skipped", "Found", "Moved to", "Copied", "Removed",
    "No", "Too many", "Checking", "Scanning", "Updated", "Marked",
    "Cleared", "Saved", "Loaded", "Inserted", "Replaced", "Counting",
    "Wrapped", "Aligned", "Ignoring", "Expected", "Unknown", "Bad",
]

# Strings that real extension code repeats all over the place.
COMMON_STRINGS = [
    "%d", "%s", "%s: %d", "", " ", "\\n", "\\t", "Done", "Not found",
    "Aborted", "yes", "no", "on", "off", "none", "%d lines", "%d words",
    "%d of %d", "Search failed", "Working...", "OK", "Error: %s",
    "Nothing to do", "Press a key", "%s (%d)", "[", "]", ", ", ": ",
    "Buffer is read-only", "Region is empty", "Not in a word",
    "No match", "Wrapped around", "Invalid argument", "default",
    "%d changes", "Beginning of buffer", "End of buffer", "untitled",
]

KEY_LETTERS = "abcdefghijklmnopqrstuvwxyz"

CHAR_CONSTS = ["'a'", "'z'", "'A'", "'Z'", "' '", "'\\t'", "'\\n'", "'_'",
               "'0'", "'9'", "'.'", "','", "';'", "'('", "')'", "'#'",
               "'/'", "'-'"]

INDENT = "        "

POOL_LIMIT = 3000000          # the compiler's string pool, in bytes
POOL_CAP = 2400000            # stay well under it
POOL_BYTES_PER_LINE = 1.6     # distinct-string density the generator aims at


def decoded_length(body):
    """Characters of a string constant body once escapes are decoded."""
    n = 0
    i = 0
    while i < len(body):
        if body[i] == "\\":
            i += 2
        else:
            i += 1
        n += 1
    return n


class Strings:
    """Hands out string constants: some repeated, many distinct, with the
    distinct ones kept under a byte budget that tracks the pool the
    compiler builds (2 bytes per character plus 6 per distinct string)."""

    def __init__(self, rng):
        self.rng = rng
        self.seen = {}            # body -> True, in insertion order
        self.distinct = []        # list of bodies
        self.pool_bytes = 0
        self.recent = []
        self.serial = 0

    def _add(self, body):
        if body not in self.seen:
            self.seen[body] = True
            self.distinct.append(body)
            self.pool_bytes += 2 * decoded_length(body) + 6

    def _fresh(self, with_format):
        rng = self.rng
        for _ in range(8):
            form = rng.randrange(5)
            if form == 0:
                body = "%s %s %s" % (rng.choice(MSG_VERBS),
                                     rng.choice(ADJECTIVES), rng.choice(NOUNS))
            elif form == 1:
                body = "%s %s %s the %s" % (rng.choice(MSG_VERBS),
                                            rng.choice(NOUNS),
                                            rng.choice(PREPS),
                                            rng.choice(NOUNS))
            elif form == 2:
                body = "%s %s %s %s" % (rng.choice(ADJECTIVES).capitalize(),
                                        rng.choice(NOUNS), rng.choice(PREPS),
                                        rng.choice(NOUNS))
            elif form == 3:
                body = "%s %s" % (rng.choice(MSG_VERBS), rng.choice(NOUNS))
            else:
                body = "%s-%s" % (rng.choice(ADJECTIVES), rng.choice(NOUNS))
                body = body.replace(" ", "-")
            if with_format:
                body += rng.choice([": %d", " (%d)", ": %s", " %d of %d",
                                    " at %d"])
            if body not in self.seen:
                return body
        self.serial += 1
        return "%s %s #%d" % (rng.choice(MSG_VERBS), rng.choice(NOUNS),
                              self.serial)

    def get(self, lines_so_far, with_format=False):
        rng = self.rng
        r = rng.random()
        budget = min(POOL_CAP, POOL_BYTES_PER_LINE * lines_so_far + 4000)
        if r < 0.45 and self.pool_bytes < budget:
            body = self._fresh(with_format)
            self._add(body)
            self.recent.append(body)
            if len(self.recent) > 24:
                self.recent.pop(0)
            return '"%s"' % body
        if r < 0.75 or not self.distinct:
            body = rng.choice(COMMON_STRINGS)
            if with_format and "%" not in body:
                body = rng.choice(["%d", "%s: %d", "%d of %d", "%s (%d)"])
            self._add(body)
            return '"%s"' % body
        if r < 0.9 and self.recent:
            return '"%s"' % rng.choice(self.recent)
        return '"%s"' % rng.choice(self.distinct)


def top_level_space(e):
    """Whether an expression text has a blank outside any parentheses or
    brackets, that is, needs parentheses to be used as an operand."""
    level = 0
    quote = None
    for ch in e:
        if quote:
            if ch == quote:
                quote = None
            continue
        if ch in "\"'":
            quote = ch
        elif ch in "([":
            level += 1
        elif ch in ")]":
            level -= 1
        elif ch == " " and level == 0:
            return True
    return False


# ---------------------------------------------------------------------------
# Types and scopes.

class Struct:
    def __init__(self, tag, typedef, members, instance):
        self.tag = tag              # struct tag
        self.typedef = typedef      # typedef name or None
        self.members = members      # list of (name, kind, size)
        self.instance = instance    # a global variable of this type

    def spelled(self, rng):
        if self.typedef and rng.random() < 0.6:
            return self.typedef
        return "struct " + self.tag


class Var:
    """kind: int, char, iarr, carr, cptr, sptr, sval, spot."""

    def __init__(self, name, kind, size=0, struct=None, writable=True):
        self.name = name
        self.kind = kind
        self.size = size
        self.struct = struct
        self.writable = writable


class Func:
    """ret: int, cptr, void (full only), command (full only)."""

    def __init__(self, name, ret, params, module):
        self.name = name
        self.ret = ret
        self.params = params        # list of (kind, struct or None)
        self.module = module


# ---------------------------------------------------------------------------

class Generator:
    def __init__(self, lines, seed, common, preproc, header_name):
        self.target = lines
        self.rng = random.Random(seed)
        self.common = common
        self.preproc = preproc
        self.header_name = header_name
        self.strings = Strings(self.rng)
        self.out = []               # lines of the main file
        self.hdr = []               # lines of the include file
        self.funcs = []             # every defined function, in order
        self.callable = []          # functions a later body may call
        self.structs = []
        self.keytables = []
        self.color_classes = []
        self.api = []               # functions with prototypes in the header
        self.api_defined = 0
        self.module_count = 0
        self.global_ints = []
        self.global_arrays = []
        self.global_texts = []
        self.entry = None
        self.range_struct = None

    # -- helpers -----------------------------------------------------------

    def lines_so_far(self):
        return len(self.out) + len(self.hdr)

    def string(self, fmt=False):
        return self.strings.get(self.lines_so_far(), fmt)

    def macro_call(self, name, args):
        """A use of one of the header's function-like macros, or its
        expansion when the preprocessor is left out."""
        if self.preproc:
            return "%s(%s)" % (name, ", ".join(args))
        a = ["(%s)" % x for x in args]
        if name == "MIN":
            return "(%s < %s ? %s : %s)" % (a[0], a[1], a[0], a[1])
        if name == "MAX":
            return "(%s > %s ? %s : %s)" % (a[0], a[1], a[0], a[1])
        if name == "CLAMP":
            return "(%s < %s ? %s : %s > %s ? %s : %s)" % (
                a[0], a[1], a[1], a[0], a[2], a[2], a[0])
        if name == "SQUARE":
            return "(%s * %s)" % (a[0], a[0])
        raise ValueError(name)

    def const(self, name, value):
        return name if self.preproc else str(value)

    # -- the include file --------------------------------------------------

    def plan_api(self):
        count = 20 + self.target // 4000
        rng = self.rng
        for i in range(count):
            verb = rng.choice(VERBS)
            obj = rng.choice(OBJECTS)
            name = "api_%s_%s_%d" % (verb, obj, i)
            shape = rng.randrange(3)
            if shape == 0:
                params = [("int", None), ("int", None)]
            elif shape == 1:
                params = [("cptr", None), ("int", None)]
            else:
                params = [("sptr", self.entry), ("int", None)]
            self.api.append(Func(name, "int", params, -1))

    def header_lines(self):
        h = []
        h.append("/*")
        h.append(" * Shared definitions: limits, helper macros, the common")
        h.append(" * record types and the prototypes of the functions that")
        h.append(" * every part of the package may call.")
        h.append(" */")
        if self.preproc:
            h.append("#ifndef BENCH_DEFS_H")
            h.append("#define BENCH_DEFS_H")
            h.append("")
            h.append("#define NAME_LEN 32")
            h.append("#define LINE_LEN 128")
            h.append("#define TABLE_SIZE 64")
            h.append("#define LOG_SIZE 512")
            h.append("#define MIN(a, b) ((a) < (b) ? (a) : (b))")
            h.append("#define MAX(a, b) ((a) > (b) ? (a) : (b))")
            h.append("#define CLAMP(v, lo, hi) ((v) < (lo) ? (lo) : "
                     "(v) > (hi) ? (hi) : (v))")
            h.append("#define SQUARE(x) ((x) * (x))")
            h.append("")
        h.append("struct entry {")
        h.append(INDENT + "char name[%s];" % self.const("NAME_LEN", 32))
        h.append(INDENT + "int value;")
        h.append(INDENT + "int flags;")
        h.append(INDENT + "struct entry *next;")
        h.append("};")
        h.append("")
        h.append("struct range {")
        h.append(INDENT + "int from;")
        h.append(INDENT + "int to;")
        h.append("};")
        h.append("")
        h.append("typedef struct entry Entry;")
        h.append("typedef struct range Range;")
        h.append("")
        if not self.common:
            h.append("keytable " + ", ".join(self.keytables) + ";")
            h.append("")
        if self.common:
            h.append("int text_length(char *s);")
            h.append("int copy_text(char *dst, char *src);")
            h.append("int append_text(char *dst, char *src);")
            h.append("int compare_text(char *a, char *b);")
            h.append("int find_char(char *s, int c);")
            h.append("int is_letter(int c);")
            h.append("int is_digit_char(int c);")
            h.append("int is_blank(int c);")
            h.append("int to_upper_char(int c);")
            h.append("int to_lower_char(int c);")
            h.append("int format_number(char *dst, int n);")
            h.append("int report_text(char *msg, int value);")
            h.append("")
        for f in self.api:
            h.append(self.prototype(f) + ";")
        h.append("")
        if self.preproc:
            h.append("#endif")
        return h

    def prototype(self, f):
        ps = []
        for i, (kind, st) in enumerate(f.params):
            pname = "arg%d" % (i + 1)
            if kind == "int":
                ps.append("int " + pname)
            elif kind == "cptr":
                ps.append("char *" + pname)
            else:
                ps.append("%s *%s" % (st.spelled(self.rng), pname))
        ret = {"int": "int ", "cptr": "char *", "void": ""}[f.ret]
        return "%s%s(%s)" % (ret, f.name, ", ".join(ps))

    # -- top of the main file ----------------------------------------------

    def prologue(self):
        o = self.out
        o.append("/*")
        if self.common:
            o.append(" * Text utilities: a package of routines written in the")
            o.append(" * part of QXL that C shares, compiled by both.")
        else:
            o.append(" * A package of editing commands: key bindings, colors,")
            o.append(" * per-buffer settings and the helpers behind them.")
        o.append(" *")
        o.append(" * Generated for benchmarking; every part is ordinary code.")
        o.append(" */")
        o.append("")
        if self.preproc:
            o.append('#include "%s"' % self.header_name)
            o.append("")
        else:
            o.extend(self.header_lines())
        o.append("Entry first_entry = { \"first\", 1, 0, 0 };")
        o.append("Entry spare_entry;")
        o.append("Range whole_range = { 0, 100 };")
        o.append("int package_ready = 0;")
        o.append("int package_calls;")
        o.append("char package_name[%s] = \"bench package\";"
                 % self.const("NAME_LEN", 32))
        o.append("int small_primes[] = { 2, 3, 5, 7, 11, 13, 17, 19, };")
        o.append("char log_text[%s];" % self.const("LOG_SIZE", 512))
        o.append("int log_count = 0;")
        o.append("")
        self.global_ints += [Var("package_ready", "int"),
                             Var("package_calls", "int"),
                             Var("log_count", "int")]
        self.global_arrays.append(Var("small_primes", "iarr", 8))
        self.global_texts.append(Var("package_name", "carr", 32))
        if not self.common:
            o.append("color_class bench_text = 0x00c0c0 on 0x000000,")
            o.append(INDENT + "bench_border,")
            o.append(INDENT + "bench_mark {")
            o.append(INDENT + INDENT + 'color_scheme "dark" 0xffff00 on 0x202020;')
            o.append(INDENT + INDENT + 'color_scheme "light" 0x806000 on 0xffffff;')
            o.append(INDENT + "};")
            o.append("")
            o.append('color_scheme "paper" {')
            o.append(INDENT + "color_class bench_text 0x000000 on 0xf8f0e0;")
            o.append(INDENT + "color_class bench_border = color_class bench_text;")
            o.append("};")
            o.append("")
            o.append("buffer int bench_mode = 1;")
            o.append("window short bench_ruler;")
            o.append("user int bench_tab_width = 8;")
            o.append("volatile int bench_busy;")
            o.append("zeroed int bench_total;")
            o.append("spot bench_last_spot;")
            o.append("")
            self.color_classes += ["bench_text", "bench_border", "bench_mark"]
            self.global_ints += [Var("bench_mode", "int"),
                                 Var("bench_tab_width", "int"),
                                 Var("bench_busy", "int"),
                                 Var("bench_total", "int")]
        else:
            self.runtime()

    def runtime(self):
        """The common variant's own helpers in place of the primitives."""
        src = """int text_length(char *s)
{
        int n = 0;

        while (s[n])
                n++;
        return n;
}

int copy_text(char *dst, char *src)
{
        int n = 0;

        while (src[n]) {
                dst[n] = src[n];
                n++;
        }
        dst[n] = 0;
        return n;
}

int append_text(char *dst, char *src)
{
        int n = text_length(dst);

        return n + copy_text(dst + n, src);
}

int compare_text(char *a, char *b)
{
        int i = 0;

        while (a[i] && a[i] == b[i])
                i++;
        return a[i] - b[i];
}

int find_char(char *s, int c)
{
        int i;

        for (i = 0; s[i]; i++)
                if (s[i] == c)
                        return i;
        return -1;
}

int is_letter(int c)
{
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int is_digit_char(int c)
{
        return c >= '0' && c <= '9';
}

int is_blank(int c)
{
        return c == ' ' || c == '\\t' || c == '\\n';
}

int to_upper_char(int c)
{
        if (c >= 'a' && c <= 'z')
                return c - 'a' + 'A';
        return c;
}

int to_lower_char(int c)
{
        if (c >= 'A' && c <= 'Z')
                return c - 'A' + 'a';
        return c;
}

int format_number(char *dst, int n)
{
        char digits[16];
        int i = 0, k = 0;

        if (n < 0) {
                dst[k++] = '-';
                n = -n;
        }
        do {
                digits[i++] = '0' + n % 10;
                n = n / 10;
        } while (n > 0);
        while (i > 0)
                dst[k++] = digits[--i];
        dst[k] = 0;
        return k;
}

int report_text(char *msg, int value)
{
        char number[16];

        if (text_length(log_text) + text_length(msg) + 16 >= LOG_SIZE)
                log_text[0] = 0;
        append_text(log_text, msg);
        format_number(number, value);
        append_text(log_text, number);
        log_count++;
        return log_count;
}
"""
        if not self.preproc:
            src = src.replace("LOG_SIZE", "512")
        self.out.extend(src.split("\n"))

    # -- one module --------------------------------------------------------

    def module(self):
        m = self.module_count
        self.module_count += 1
        rng = self.rng
        topic = rng.choice(TOPICS)
        prefix = "%s%d" % (topic, m)
        up = prefix.upper()
        o = self.out
        mod = {"prefix": prefix, "up": up, "index": m, "names": {},
               "ints": [], "arrays": [], "texts": [], "funcs": [],
               "struct": None, "color": None, "macros": []}
        o.append("/* ---- %s: %s %s ---- */"
                 % (prefix, rng.choice(ADJECTIVES), rng.choice(NOUNS) + "s"))
        o.append("")
        limit = rng.randrange(8, 200)
        mod["limit"] = limit
        if self.preproc:
            o.append("#define %s_LIMIT %d" % (up, limit))
            if rng.random() < 0.5:
                o.append("#define %s_SCALE(x) ((x) * %d + %s_LIMIT)"
                         % (up, rng.randrange(2, 9), up))
                mod["macros"].append("%s_SCALE" % up)
            o.append("")

        # A record type of the module, with a typedef and an instance.
        if rng.random() < 0.55:
            tag = "%s_state" % prefix
            tdef = "%sState" % prefix.capitalize()
            members = [("count", "int", 0), ("last", "int", 0),
                       ("label", "carr", 16), ("where", "sptr", 0)]
            if rng.random() < 0.5:
                members.insert(2, ("weights", "iarr", 4))
            inst = "%s_defaults" % prefix
            st = Struct(tag, tdef, members, inst)
            o.append("struct %s {" % tag)
            for name, kind, size in members:
                if kind == "int":
                    o.append(INDENT + "int %s;" % name)
                elif kind == "carr":
                    o.append(INDENT + "char %s[%d];" % (name, size))
                elif kind == "iarr":
                    o.append(INDENT + "int %s[%d];" % (name, size))
                else:
                    o.append(INDENT + "struct entry *%s;" % name)
            o.append("};")
            o.append("typedef struct %s %s;" % (tag, tdef))
            o.append("")
            inits = []
            for name, kind, size in members:
                if kind == "int":
                    inits.append(str(rng.randrange(0, 50)))
                elif kind == "carr":
                    inits.append('"%s"' % rng.choice(OBJECTS)[:12])
                elif kind == "iarr":
                    inits.append("{ %s }" % ", ".join(
                        str(rng.randrange(1, 9)) for _ in range(rng.randrange(1, 5))))
                else:
                    inits.append("0")
            o.append("struct %s %s = { %s };" % (tag, inst, ", ".join(inits)))
            self.structs.append(st)
            mod["struct"] = st

        # Globals with initializers.
        for _ in range(rng.randrange(2, 6)):
            name = self.mod_name(mod, rng.choice(OBJECTS))
            r = rng.random()
            if r < 0.4:
                o.append("int %s = %d;" % (name, rng.randrange(-5, 500)))
                mod["ints"].append(Var(name, "int"))
            elif r < 0.55:
                o.append("int %s;" % name)
                mod["ints"].append(Var(name, "int"))
            elif r < 0.75:
                n = rng.randrange(3, 12)
                vals = ", ".join(str(rng.randrange(0, 100)) for _ in range(n))
                if rng.random() < 0.5:
                    o.append("int %s[] = { %s };" % (name, vals))
                else:
                    o.append("int %s[%d] = { %s };" % (name, n + 2, vals))
                    n += 2
                mod["arrays"].append(Var(name, "iarr", n))
            elif r < 0.9:
                body = self.string()[1:-1]
                size = max(decoded_length(body) + 1, rng.choice([16, 32, 64]))
                o.append('char %s[%d] = "%s";' % (name, size, body))
                mod["texts"].append(Var(name, "carr", size))
            else:
                k = rng.randrange(2, 5)
                words = ", ".join('"%s"' % rng.choice(OBJECTS)[:11]
                                  for _ in range(k))
                o.append("char %s[%d][12] = { %s };" % (name, k, words))
        if not self.common:
            r = rng.random()
            name = self.mod_name(mod, rng.choice(OBJECTS))
            if r < 0.3:
                o.append("buffer int %s = %d;" % (name, rng.randrange(0, 80)))
                mod["ints"].append(Var(name, "int"))
            elif r < 0.5:
                o.append("window short %s;" % name)
                mod["ints"].append(Var(name, "int"))
            elif r < 0.7:
                o.append("user int %s = %d;" % (name, rng.randrange(0, 80)))
                mod["ints"].append(Var(name, "int"))
            elif r < 0.8:
                o.append("spot %s;" % name)
        o.append("")

        # Colors and key tables of the editor.
        if not self.common:
            if rng.random() < 0.35:
                cname = "%s_color" % prefix
                if rng.random() < 0.3:
                    o.append("color_class %s {" % cname)
                    o.append(INDENT + 'color_scheme "dark" 0x%06x on 0x%06x;'
                             % (rng.randrange(1 << 24), rng.randrange(1 << 24)))
                    o.append(INDENT + 'color_scheme "light" 0x%06x on 0x%06x;'
                             % (rng.randrange(1 << 24), rng.randrange(1 << 24)))
                    o.append("};")
                elif rng.random() < 0.5:
                    o.append("color_class %s = 0x%06x on 0x%06x;"
                             % (cname, rng.randrange(1 << 24),
                                rng.randrange(1 << 24)))
                else:
                    o.append("color_class %s = color_class %s;"
                             % (cname, rng.choice(self.color_classes)))
                o.append("")
                self.color_classes.append(cname)
                mod["color"] = cname
            if m % 40 == 39 and len(self.keytables) < 60:
                kt = "%s_keys" % prefix
                o.append("keytable %s;" % kt)
                o.append("")
                self.keytables.append(kt)

        self.global_ints.extend(mod["ints"])
        self.global_arrays.extend(mod["arrays"])
        self.global_texts.extend(mod["texts"])
        if len(self.global_ints) > 400:
            del self.global_ints[:200]
        if len(self.global_arrays) > 200:
            del self.global_arrays[:100]
        if len(self.global_texts) > 200:
            del self.global_texts[:100]

        # Functions and commands.
        budget = rng.randrange(150, 700)
        start = len(self.out)
        nfun = 0
        while len(self.out) - start < budget and \
                self.lines_so_far() < self.target - 120:
            self.api_due()
            wrap = self.preproc and rng.random() < 0.04
            if wrap:
                skipped = rng.random() < 0.5
                o.append("#ifdef %s" % ("BENCH_TRACE" if skipped
                                        else "BENCH_DEFS_H"))
            self.function(mod, None, nfun)
            nfun += 1
            if wrap:
                o.pop()
                o.append("#endif")
                o.append("")
                if skipped:
                    # The definition was read past; nobody may call it.
                    f = mod["funcs"].pop()
                    if f in self.callable:
                        self.callable.remove(f)

    def mod_name(self, mod, word):
        base = "%s_%s" % (mod["prefix"], word)
        n = mod["names"].get(base, 0)
        mod["names"][base] = n + 1
        return base if n == 0 else "%s%d" % (base, n + 1)

    def api_due(self):
        """Define the header's functions spread evenly over the file."""
        while self.api_defined < len(self.api) and \
                self.lines_so_far() >= self.api_defined * self.target / len(self.api):
            f = self.api[self.api_defined]
            self.api_defined += 1
            self.function(None, f, 0)

    # -- functions ---------------------------------------------------------

    def function(self, mod, planned, serial):
        rng = self.rng
        fb = FuncBody(self, mod)
        if planned is not None:
            f = planned
        else:
            r = rng.random()
            if self.common:
                ret = "int" if r < 0.85 else "cptr"
            else:
                ret = ("int" if r < 0.4 else "cptr" if r < 0.5 else
                       "void" if r < 0.75 else "command")
            params = []
            if ret != "command":
                for _ in range(rng.choice([1, 1, 2, 2, 2, 3, 3, 4])):
                    k = rng.random()
                    if k < 0.55:
                        params.append(("int", None))
                    elif k < 0.85:
                        params.append(("cptr", None))
                    else:
                        st = self.entry
                        if mod["struct"] is not None and rng.random() < 0.6:
                            st = mod["struct"]
                        params.append(("sptr", st))
                if ret == "cptr" and not any(p[0] == "cptr" for p in params):
                    params.insert(0, ("cptr", None))
            name = self.mod_name(mod, "%s_%s" % (rng.choice(VERBS),
                                                  rng.choice(OBJECTS)))
            f = Func(name, ret, params, mod["index"])
        fb.emit(f)
        self.funcs.append(f)
        if mod is not None:
            mod["funcs"].append(f)
        if f.ret != "command" and planned is None:
            self.callable.append(f)
            if len(self.callable) > 3000:
                del self.callable[:1000]

    # -- whole file --------------------------------------------------------

    def run(self):
        rng = self.rng
        self.entry = Struct("entry", "Entry",
                            [("name", "carr", 32), ("value", "int", 0),
                             ("flags", "int", 0), ("next", "sptr", 0)],
                            "first_entry")
        self.range_struct = Struct("range", "Range",
                                   [("from", "int", 0), ("to", "int", 0)],
                                   "whole_range")
        self.structs.append(self.entry)
        if not self.common:
            self.keytables = ["main_keys", "ctlx_keys", "meta_keys",
                              "help_keys"]
        self.plan_api()
        if self.preproc:
            self.hdr = self.header_lines()
        self.prologue()
        while self.lines_so_far() < self.target - 300:
            self.module()
        self.api_due()
        while self.api_defined < len(self.api):
            f = self.api[self.api_defined]
            self.api_defined += 1
            self.function(None, f, 0)
        # Fill up to the exact line count with small globals.
        k = 0
        if self.lines_so_far() < self.target:
            self.out.append("/* ---- tail: counters ---- */")
        while self.lines_so_far() < self.target:
            self.out.append("int tail_counter_%d = %d;" % (k, rng.randrange(100)))
            k += 1
        return self.out, self.hdr


class FuncBody:
    """Builds one function: declarations, then statements of every kind,
    keeping track of what is in scope so that everything type-checks."""

    def __init__(self, gen, mod):
        self.g = gen
        self.rng = gen.rng
        self.mod = mod
        self.lines = []
        self.used_names = {}
        self.scopes = []
        self.loop_vars = []        # names of int locals free for loops
        self.active_loops = []     # (var, bound) of the loops we are in
        self.labels = 0

    # names

    def local_name(self, pool):
        rng = self.rng
        for _ in range(6):
            n = rng.choice(pool)
            if n not in self.used_names:
                self.used_names[n] = True
                return n
        base = rng.choice(pool)
        i = 2
        while "%s%d" % (base, i) in self.used_names:
            i += 1
        n = "%s%d" % (base, i)
        self.used_names[n] = True
        return n

    def vars(self, kind):
        out = []
        for scope in self.scopes:
            for v in scope:
                if v.kind == kind:
                    out.append(v)
        return out

    def add(self, v):
        self.scopes[-1].append(v)

    # expressions

    def int_leaf(self):
        rng = self.rng
        g = self.g
        r = rng.random()
        ints = self.vars("int")
        if r < 0.4 and ints:
            return rng.choice(ints).name
        if r < 0.5:
            return str(rng.randrange(0, 64))
        if r < 0.58 and self.mod is not None:
            src = self.mod["ints"] or g.global_ints
            if src:
                return rng.choice(src).name
        if r < 0.64 and self.mod is not None and g.preproc:
            return "%s_LIMIT" % self.mod["up"]
        if r < 0.72:
            arrs = self.vars("iarr") + (self.mod["arrays"] if self.mod else [])
            if arrs:
                a = rng.choice(arrs)
                return "%s[%s]" % (a.name, self.index(a.size))
        if r < 0.8:
            t = self.text_var()
            if t is not None:
                return "%s[%s]" % (t.name, self.index(max(t.size, 1)))
        if r < 0.86:
            recs = self.vars("sptr")
            if recs:
                v = rng.choice(recs)
                ints_m = [mm for mm in v.struct.members if mm[1] == "int"]
                return "%s->%s" % (v.name, rng.choice(ints_m)[0])
            vals = self.vars("sval")
            if vals:
                v = rng.choice(vals)
                ints_m = [mm for mm in v.struct.members if mm[1] == "int"]
                return "%s.%s" % (v.name, rng.choice(ints_m)[0])
        if r < 0.93:
            if not g.common:
                return rng.choice(["point", "mark", "iter", "size()",
                                   "current_column()", "curchar()",
                                   "character(point)", "matchstart",
                                   "window_width", "has_arg"])
            return self.var_leaf()
        if r < 0.97:
            return rng.choice(CHAR_CONSTS)
        if ints:
            return rng.choice(ints).name
        return str(rng.randrange(1, 9))

    def var_leaf(self):
        """An int value that is not a constant: a variable, an element or
        a member."""
        rng = self.rng
        g = self.g
        ints = self.vars("int")
        r = rng.random()
        if r < 0.6 and ints:
            return rng.choice(ints).name
        if r < 0.75:
            t = self.text_var()
            if t is not None:
                return "%s[%s]" % (t.name, self.index(max(t.size, 1)))
        if r < 0.85:
            arrs = self.vars("iarr") + (self.mod["arrays"] if self.mod else [])
            if arrs:
                a = rng.choice(arrs)
                return "%s[%s]" % (a.name, self.index(a.size))
        src = (self.mod["ints"] if self.mod else []) or g.global_ints
        if src:
            return rng.choice(src).name
        return ints[0].name if ints else "package_calls"

    def index(self, size):
        rng = self.rng
        for var, bound in reversed(self.active_loops):
            if bound is not None and bound <= size and rng.random() < 0.7:
                return var
        if rng.random() < 0.5 or size <= 1:
            return str(rng.randrange(0, max(size, 1)))
        ints = self.vars("int")
        if ints:
            return "%s %% %d" % (rng.choice(ints).name, size)
        return "0"

    def text_var(self):
        rng = self.rng
        cands = self.vars("carr") + self.vars("cptr")
        if self.mod is not None:
            cands = cands + self.mod["texts"]
        if not cands:
            return None
        return rng.choice(cands)

    def text_expr(self):
        """A char pointer value."""
        rng = self.rng
        r = rng.random()
        if r < 0.3:
            return self.g.string()
        t = self.text_var()
        if t is not None and r < 0.85:
            return t.name
        if r < 0.95 and self.g.global_texts:
            return rng.choice(self.g.global_texts).name
        return self.g.string()

    def call_int(self, depth):
        """A call that yields an int, of a user function or a primitive
        (or, in the common variant, one of its own helpers)."""
        rng = self.rng
        g = self.g
        if rng.random() < 0.55:
            f = self.pick_callee(("int",))
            if f is not None:
                args = self.args(f, depth)
                if args is not None:
                    return "%s(%s)" % (f.name, ", ".join(args))
        if g.common:
            r = rng.randrange(7)
            if r == 0:
                return "text_length(%s)" % self.text_expr()
            if r == 1:
                return "is_letter(%s)" % self.int_expr(depth + 1)
            if r == 2:
                return "find_char(%s, %s)" % (self.text_expr(),
                                              rng.choice(CHAR_CONSTS))
            if r == 3:
                return "compare_text(%s, %s)" % (self.text_expr(),
                                                 self.text_expr())
            if r == 4:
                return "to_lower_char(%s)" % self.int_leaf()
            if r == 5:
                return "is_digit_char(%s)" % self.int_leaf()
            return "is_blank(%s)" % self.int_leaf()
        r = rng.randrange(8)
        if r == 0:
            return "strlen(%s)" % self.text_expr()
        if r == 1:
            return "isalpha(%s)" % self.int_leaf()
        if r == 2:
            return "strcmp(%s, %s)" % (self.text_expr(), self.text_expr())
        if r == 3:
            return "character(%s)" % self.int_leaf()
        if r == 4:
            return "tolower(%s)" % self.int_leaf()
        if r == 5:
            return "search(%d, %s)" % (rng.choice([1, -1]), self.g.string())
        if r == 6:
            return "isdigit(%s)" % self.int_leaf()
        return "isspace(%s)" % self.int_leaf()

    def pick_callee(self, rets):
        rng = self.rng
        g = self.g
        cands = None
        r = rng.random()
        if r < 0.5 and self.mod is not None and self.mod["funcs"]:
            cands = self.mod["funcs"]
        elif r < 0.65 and g.api:
            cands = g.api
        elif g.callable:
            cands = g.callable
        if not cands:
            return None
        for _ in range(4):
            f = rng.choice(cands)
            if f.ret in rets:
                return f
        return None

    def args(self, f, depth):
        rng = self.rng
        out = []
        for kind, st in f.params:
            if kind == "int":
                out.append(self.int_expr(depth + 1) if depth < 1
                           else self.int_leaf())
            elif kind == "cptr":
                out.append(self.text_expr())
            else:
                a = self.struct_arg(st)
                if a is None:
                    return None
                out.append(a)
        return out

    def struct_arg(self, st):
        rng = self.rng
        cands = [v.name for v in self.vars("sptr") if v.struct is st]
        cands += ["&" + v.name for v in self.vars("sval") if v.struct is st]
        if rng.random() < 0.4 or not cands:
            cands.append("&" + st.instance)
        return rng.choice(cands)

    def int_expr(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth >= 2 or r < 0.35:
            return self.int_leaf()
        if r < 0.65:
            op = rng.choice(["+", "-", "+", "*", "&", "|", "^", "+", "-"])
            return "%s %s %s" % (self.operand(depth), op, self.operand(depth))
        if r < 0.72:
            op = rng.choice(["/", "%", "<<", ">>"])
            return "%s %s %d" % (self.operand(depth), op, rng.randrange(1, 7))
        if r < 0.88:
            return self.call_int(depth)
        if r < 0.96:
            name = rng.choice(["MIN", "MAX", "CLAMP", "SQUARE"])
            if self.mod is not None and self.mod["macros"] and \
                    rng.random() < 0.3:
                return "%s(%s)" % (self.mod["macros"][0], self.int_leaf())
            n = {"MIN": 2, "MAX": 2, "CLAMP": 3, "SQUARE": 1}[name]
            return self.g.macro_call(name, [self.int_leaf() for _ in range(n)])
        if rng.random() < 0.5:
            t = self.vars("carr")
            if t:
                v = rng.choice(t)
                return "(int) (sizeof(%s) / sizeof(%s[0]))" % (v.name, v.name)
        return "(int) sizeof(%s)" % rng.choice(["int", "Entry", "struct range"])

    def operand(self, depth):
        e = self.int_expr(depth + 1)
        return "(%s)" % e if top_level_space(e) else e

    def cond(self, depth=0):
        rng = self.rng
        r = rng.random()
        if depth < 1 and r < 0.25:
            op = rng.choice(["&&", "||"])
            return "%s %s %s" % (self.cond_atom(), op, self.cond_atom())
        return self.cond_atom()

    def cond_atom(self):
        rng = self.rng
        r = rng.random()
        if r < 0.55:
            op = rng.choice(["<", ">", "<=", ">=", "==", "!="])
            left = self.operand(1) if rng.random() < 0.3 else self.var_leaf()
            return "%s %s %s" % (left, op, self.int_leaf())
        if r < 0.7:
            t = self.text_var()
            if t is not None:
                return "%s[%s] %s %s" % (t.name, self.index(max(t.size, 1)),
                                         rng.choice(["==", "!="]),
                                         rng.choice(CHAR_CONSTS))
        if r < 0.8:
            return "!" + self.var_leaf()
        if r < 0.9:
            c = self.call_int(1)
            return c
        ints = self.vars("int")
        if ints:
            return rng.choice(ints).name
        return "%s > 0" % self.int_leaf()

    # statements

    def emit_line(self, ind, text):
        self.lines.append(INDENT * ind + text)

    def assignable_ints(self):
        busy = [v for v, _ in self.active_loops]
        return [v for v in self.vars("int") if v.writable and v.name not in busy]

    def simple(self, ind):
        """One simple statement (possibly several lines for calls)."""
        rng = self.rng
        g = self.g
        r = rng.random()
        targets = self.assignable_ints()
        if r < 0.25 and targets:
            v = rng.choice(targets)
            form = rng.random()
            if form < 0.55:
                self.emit_line(ind, "%s = %s;" % (v.name, self.int_expr()))
            elif form < 0.8:
                self.emit_line(ind, "%s %s= %s;" % (
                    v.name, rng.choice(["+", "-", "|", "&", "*"]),
                    self.operand(1)))
            else:
                self.emit_line(ind, "%s%s;" % (v.name, rng.choice(["++", "--"])))
            return 1
        if r < 0.33:
            arrs = self.vars("iarr") + (self.mod["arrays"] if self.mod else [])
            if arrs:
                a = rng.choice(arrs)
                self.emit_line(ind, "%s[%s] = %s;" % (a.name, self.index(a.size),
                                                      self.int_expr(1)))
                return 1
        if r < 0.4:
            bufs = self.vars("carr")
            if bufs:
                b = rng.choice(bufs)
                self.emit_line(ind, "%s[%s] = %s;" % (b.name, self.index(b.size),
                                                      rng.choice(CHAR_CONSTS)))
                return 1
        if r < 0.46:
            recs = self.vars("sptr")
            if recs:
                v = rng.choice(recs)
                ints_m = [mm for mm in v.struct.members if mm[1] == "int"]
                self.emit_line(ind, "%s->%s = %s;" % (
                    v.name, rng.choice(ints_m)[0], self.int_expr(1)))
                return 1
        if r < 0.6:
            f = self.pick_callee(("int", "void", "cptr"))
            if f is not None:
                a = self.args(f, 1)
                if a is not None:
                    call = "%s(%s)" % (f.name, ", ".join(a))
                    if f.ret == "int" and targets and rng.random() < 0.6:
                        self.emit_line(ind, "%s = %s;" % (rng.choice(targets).name,
                                                          call))
                    else:
                        self.emit_line(ind, call + ";")
                    return 1
        if r < 0.8:
            self.text_op(ind)
            return 1
        if g.common:
            self.emit_line(ind, "report_text(%s, %s);" % (g.string(),
                                                          self.int_expr(1)))
            return 1
        return self.editor_op(ind)

    def text_op(self, ind):
        rng = self.rng
        g = self.g
        bufs = self.vars("carr")
        if not bufs:
            if g.common:
                self.emit_line(ind, "report_text(%s, %s);" % (
                    self.text_expr(), self.int_leaf()))
            else:
                self.emit_line(ind, "say(%s, %s);" % (g.string(True),
                                                      self.int_leaf()))
            return
        b = rng.choice(bufs).name
        r = rng.randrange(4)
        if g.common:
            if r == 0:
                self.emit_line(ind, "copy_text(%s, %s);" % (b, self.text_expr()))
            elif r == 1:
                self.emit_line(ind, "append_text(%s, %s);" % (b, self.text_expr()))
            elif r == 2:
                self.emit_line(ind, "format_number(%s, %s);" % (b, self.int_expr(1)))
            else:
                self.emit_line(ind, "report_text(%s, %s);" % (b, self.int_leaf()))
            return
        if r == 0:
            self.emit_line(ind, "strcpy(%s, %s);" % (b, self.text_expr()))
        elif r == 1:
            self.emit_line(ind, "strcat(%s, %s);" % (b, self.text_expr()))
        elif r == 2:
            self.emit_line(ind, "sprintf(%s, %s,\n%s%s);" % (
                b, g.string(True), INDENT * (ind + 1), self.int_expr(1)))
        else:
            self.emit_line(ind, "say(%s, %s, %s);" % (g.string(True), b,
                                                      self.int_leaf()))

    def editor_op(self, ind):
        rng = self.rng
        g = self.g
        r = rng.randrange(9)
        if r == 0:
            self.emit_line(ind, "insert(%s);" % rng.choice(CHAR_CONSTS))
        elif r == 1:
            self.emit_line(ind, "point = %s;" % self.int_expr(1))
        elif r == 2:
            self.emit_line(ind, "stuff(%s);" % self.text_expr())
        elif r == 3:
            self.emit_line(ind, "delete(point, point + %d);" % rng.randrange(1, 9))
        elif r == 4:
            self.emit_line(ind, "note(%s, %s);" % (g.string(True), self.int_leaf()))
        elif r == 5:
            self.emit_line(ind, "move_to_column(%s);" % self.int_expr(1))
        elif r == 6:
            self.emit_line(ind, "check_abort();")
        elif r == 7 and self.assignable_ints():
            c = (self.mod or {}).get("color") or rng.choice(g.color_classes)
            v = rng.choice(self.assignable_ints()).name
            self.emit_line(ind, "%s = color_class %s;" % (v, c))
            self.emit_line(ind, "set_character_color(point, point + %d, %s);"
                           % (rng.randrange(1, 40), v))
            return 2
        else:
            self.emit_line(ind, "nl_forward();")
        return 1

    def statement(self, ind, depth, ctx):
        rng = self.rng
        # Compound statements get rarer the deeper we are.
        r = rng.random()
        if depth >= 3 or r < (0.45, 0.7, 0.88)[depth]:
            return self.simple(ind)
        r = 0.45 + rng.random() * 0.55
        if r < 0.6:
            self.if_stmt(ind, depth, ctx)
        elif r < 0.7:
            return self.for_stmt(ind, depth, ctx)
        elif r < 0.77:
            return self.while_stmt(ind, depth, ctx)
        elif r < 0.8:
            return self.do_stmt(ind, depth, ctx)
        elif r < 0.87:
            self.switch_stmt(ind, depth, ctx)
        elif r < 0.92:
            self.block_stmt(ind, depth, ctx)
        elif r < 0.97 and ctx.get("loop"):
            self.emit_line(ind, "if (%s)" % self.cond())
            self.emit_line(ind + 1, rng.choice(["break;", "continue;"]))
        elif ctx.get("ret") in ("int", "cptr"):
            self.emit_line(ind, "if (%s)" % self.cond())
            self.emit_line(ind + 1, "return %s;" % self.ret_value(ctx["ret"]))
        else:
            return self.simple(ind)
        return 1

    def body(self, ind, depth, ctx, count):
        for _ in range(count):
            self.statement(ind, depth, ctx)

    def sub(self, ind, depth, ctx):
        """The body of an if or loop: one statement or a braced list."""
        rng = self.rng
        n = rng.choice([1, 1, 1, 2, 2, 3])
        if n == 1 and rng.random() < 0.6:
            head = len(self.lines) - 1
            if self.statement(ind + 1, depth + 1, ctx) > 1:
                self.lines[head] += " {"
                return True
            return False
        self.lines[-1] += " {"
        self.body(ind + 1, depth + 1, ctx, n)
        return True

    def if_stmt(self, ind, depth, ctx):
        rng = self.rng
        self.emit_line(ind, "if (%s)" % self.cond())
        braced = self.sub(ind, depth, ctx)
        chain = rng.random()
        while chain < 0.45:
            if braced:
                self.emit_line(ind, "} else if (%s)" % self.cond())
            else:
                self.emit_line(ind, "else if (%s)" % self.cond())
            braced = self.sub(ind, depth, ctx)
            chain = rng.random() + 0.25
        if rng.random() < 0.35:
            if braced:
                self.emit_line(ind, "} else")
            else:
                self.emit_line(ind, "else")
            braced = self.sub(ind, depth, ctx)
        if braced:
            self.emit_line(ind, "}")

    def free_loop_var(self):
        busy = [v for v, _ in self.active_loops]
        for v in self.loop_vars:
            if v not in busy:
                return v
        return None

    def for_stmt(self, ind, depth, ctx):
        rng = self.rng
        v = self.free_loop_var()
        if v is None:
            return self.simple(ind)
        r = rng.random()
        bound = None
        if r < 0.4:
            arrs = self.vars("iarr") + self.vars("carr")
            if arrs:
                a = rng.choice(arrs)
                bound = a.size
                lim = str(a.size)
            else:
                bound = rng.randrange(2, 16)
                lim = str(bound)
        elif r < 0.7:
            lim = self.int_leaf()
        else:
            t = self.text_var()
            if t is not None:
                self.emit_line(ind, "for (%s = 0; %s[%s]; %s++)" % (v, t.name, v, v))
                self.active_loops.append((v, None))
                braced = self.sub(ind, depth, dict(ctx, loop=True))
                self.active_loops.pop()
                if braced:
                    self.emit_line(ind, "}")
                return 1
            lim = self.int_leaf()
        self.emit_line(ind, "for (%s = 0; %s < %s; %s++)" % (v, v, lim, v))
        self.active_loops.append((v, bound))
        braced = self.sub(ind, depth, dict(ctx, loop=True))
        self.active_loops.pop()
        if braced:
            self.emit_line(ind, "}")
        return 1

    def while_stmt(self, ind, depth, ctx):
        rng = self.rng
        v = self.free_loop_var()
        if v is None:
            return self.simple(ind)
        t = self.text_var()
        if t is not None and rng.random() < 0.6:
            self.emit_line(ind, "%s = 0;" % v)
            self.emit_line(ind, "while (%s[%s] && %s) {" % (t.name, v,
                                                            self.cond_atom()))
            step = "++"
        else:
            self.emit_line(ind, "%s = %s;" % (v, self.int_leaf()))
            self.emit_line(ind, "while (%s > 0) {" % v)
            step = "--"
        self.active_loops.append((v, None))
        self.body(ind + 1, depth + 1, dict(ctx, loop=True), rng.randrange(1, 4))
        self.emit_line(ind + 1, "%s%s;" % (v, step))
        self.active_loops.pop()
        self.emit_line(ind, "}")
        return 2

    def do_stmt(self, ind, depth, ctx):
        rng = self.rng
        v = self.free_loop_var()
        if v is None:
            return self.simple(ind)
        self.emit_line(ind, "%s = %d;" % (v, rng.randrange(1, 20)))
        self.emit_line(ind, "do {")
        self.active_loops.append((v, None))
        self.body(ind + 1, depth + 1, dict(ctx, loop=True), rng.randrange(1, 4))
        self.active_loops.pop()
        self.emit_line(ind, "} while (--%s > 0);" % v)
        return 2

    def switch_stmt(self, ind, depth, ctx):
        rng = self.rng
        ints = self.vars("int")
        subject = rng.choice(ints).name if ints and rng.random() < 0.7 \
            else self.int_leaf()
        self.emit_line(ind, "switch (%s) {" % subject)
        used = []
        chars = rng.random() < 0.4
        for _ in range(rng.randrange(2, 6)):
            for _ in range(rng.randrange(1, 3)):
                while True:
                    k = rng.choice(CHAR_CONSTS) if chars else str(rng.randrange(0, 40))
                    if k not in used:
                        break
                used.append(k)
                self.emit_line(ind, "case %s:" % k)
            self.body(ind + 1, depth + 1, dict(ctx, switch=True),
                      rng.randrange(1, 3))
            self.emit_line(ind + 1, "break;")
        if rng.random() < 0.7:
            self.emit_line(ind, "default:")
            self.body(ind + 1, depth + 1, dict(ctx, switch=True), 1)
            self.emit_line(ind + 1, "break;")
        self.emit_line(ind, "}")

    def block_stmt(self, ind, depth, ctx):
        rng = self.rng
        self.emit_line(ind, "{")
        self.scopes.append([])
        n = rng.randrange(1, 3)
        for _ in range(n):
            name = self.local_name(LOCAL_INTS)
            self.emit_line(ind + 1, "int %s = %s;" % (name, self.int_expr(1)))
            self.add(Var(name, "int"))
        self.lines.append("")
        self.body(ind + 1, depth + 1, ctx, rng.randrange(1, 4))
        self.scopes.pop()
        self.emit_line(ind, "}")

    def ret_value(self, ret):
        rng = self.rng
        if ret == "int":
            return self.int_expr(1)
        cands = self.vars("cptr")
        return rng.choice(cands).name if cands else self.g.string()

    # the whole function

    def emit(self, f):
        rng = self.rng
        g = self.g
        o = g.out
        self.scopes.append([])
        # Leading comment.
        if rng.random() < 0.7:
            o.append("/* %s %s %s %s. */" % (
                rng.choice(VERBS).capitalize(), "the",
                rng.choice(ADJECTIVES), rng.choice(NOUNS)))
        params = []
        for i, (kind, st) in enumerate(f.params):
            # The header's functions keep the names of their prototypes.
            fixed = "arg%d" % (i + 1) if f.module == -1 else None
            if kind == "int":
                n = fixed or self.local_name(LOCAL_INTS)
                params.append("int " + n)
                self.add(Var(n, "int"))
            elif kind == "cptr":
                n = fixed or self.local_name(LOCAL_PTRS)
                params.append("char *" + n)
                self.add(Var(n, "cptr", 8))
            else:
                n = fixed or self.local_name(LOCAL_RECS)
                params.append("%s *%s" % (st.spelled(rng), n))
                self.add(Var(n, "sptr", struct=st))
        if f.ret == "command":
            keys = self.bindings()
            o.append("command %s()%s" % (f.name, keys))
        else:
            ret = {"int": "int ", "cptr": "char *", "void": ""}[f.ret]
            o.append("%s%s(%s)" % (ret, f.name, ", ".join(params)))
        o.append("{")
        # Locals.
        ind = 1
        nint = rng.randrange(1, 5)
        for i in range(nint):
            name = self.local_name(LOCAL_INTS)
            self.emit_line(ind, "int %s = %s;" % (name, rng.choice(
                ["0", "0", "1", "-1", str(rng.randrange(2, 100))])))
            self.add(Var(name, "int"))
        for name in ("i", "j", "k")[:rng.randrange(1, 4)]:
            self.loop_vars.append(name)
        self.emit_line(ind, "int %s;" % ", ".join(self.loop_vars))
        for name in self.loop_vars:
            self.used_names[name] = True
        first = []
        if rng.random() < 0.55:
            name = self.local_name(LOCAL_BUFS)
            size = rng.choice([32, 64, 80, 128])
            self.emit_line(ind, "char %s[%d];" % (name, size))
            self.add(Var(name, "carr", size))
            if g.common:
                first.append("copy_text(%s, %s);" % (name, g.string()))
            else:
                first.append("strcpy(%s, %s);" % (name, g.string()))
        if rng.random() < 0.3:
            name = self.local_name(LOCAL_PTRS)
            src = self.text_expr()
            self.emit_line(ind, "char *%s = %s;" % (name, src))
            self.add(Var(name, "cptr", 8))
        if rng.random() < 0.25:
            name = self.local_name(LOCAL_INTS)
            size = rng.choice([4, 8, 16])
            self.emit_line(ind, "int %s[%d];" % (name, size))
            self.add(Var(name, "iarr", size))
            first.append("%s[0] = 0;" % name)
        if rng.random() < 0.2:
            st = self.mod["struct"] if (self.mod and self.mod["struct"] and
                                        rng.random() < 0.5) else g.entry
            name = self.local_name(LOCAL_RECS)
            if rng.random() < 0.5:
                self.emit_line(ind, "%s %s;" % (st.spelled(rng), name))
                self.add(Var(name, "sval", struct=st))
                first.append("%s.%s = 0;" % (name, [m for m in st.members
                                                    if m[1] == "int"][0][0]))
            else:
                self.emit_line(ind, "%s *%s = &%s;" % (st.spelled(rng), name,
                                                       st.instance))
                self.add(Var(name, "sptr", struct=st))
        if not g.common and f.ret == "command" and rng.random() < 0.3:
            name = self.local_name(["where", "origin", "anchor_spot", "spot_at"])
            self.emit_line(ind, "spot %s = alloc_spot(1);" % name)
            first.append("*%s = point;" % name)
            self.spot_local = name
        else:
            self.spot_local = None
        self.lines.append("")
        for s in first:
            self.emit_line(ind, s)
        ctx = {"ret": f.ret}
        if not g.common and rng.random() < 0.15:
            self.emit_line(ind, "save_var point;")
        if not g.common and f.ret in ("command", "void") and rng.random() < 0.08:
            self.emit_line(ind, "bench_busy = 1;")
            self.emit_line(ind, "on_exit")
            self.emit_line(ind + 1, "bench_busy = 0;")
        # Size: most functions are short, some are long.
        r = rng.random()
        target = (rng.randrange(5, 14) if r < 0.6 else
                  rng.randrange(14, 35) if r < 0.92 else rng.randrange(35, 90))
        goto = rng.random() < 0.04 and f.ret in ("int", "void", "command")
        label = None
        if goto:
            label = "%s_done" % rng.choice(["all", "out", "finish", "early"])
        emitted_goto = False
        while len(self.lines) < target:
            if goto and not emitted_goto and len(self.lines) > target // 2:
                self.emit_line(ind, "if (%s)" % self.cond())
                self.emit_line(ind + 1, "goto %s;" % label)
                emitted_goto = True
            self.statement(ind, 0, ctx)
        if goto and not emitted_goto:
            self.emit_line(ind, "if (%s)" % self.cond())
            self.emit_line(ind + 1, "goto %s;" % label)
        if goto:
            self.lines.append("")
            self.lines.append("%s:" % label)
        if self.spot_local:
            self.emit_line(ind, "free_spot(%s);" % self.spot_local)
        if f.ret == "command":
            if rng.random() < 0.5:
                self.emit_line(ind, "iter = 1;")
            c = (self.mod or {}).get("color")
            targets = self.assignable_ints()
            if c and targets and rng.random() < 0.5:
                v = rng.choice(targets).name
                self.emit_line(ind, "%s = color_class %s;" % (v, c))
                self.emit_line(ind, "set_character_color(point, point + 1, %s);"
                               % v)
            self.emit_line(ind, "say(%s, %s);" % (g.string(True), self.int_leaf()))
        elif f.ret == "void":
            self.emit_line(ind, "%s++;" % rng.choice(g.global_ints).name
                           if g.global_ints else "package_calls++;")
        else:
            if g.common and rng.random() < 0.3:
                self.emit_line(ind, "package_calls++;")
            self.emit_line(ind, "return %s;" % self.ret_value(f.ret))
        o.extend(self.lines)
        o.append("}")
        o.append("")

    def bindings(self):
        rng = self.rng
        g = self.g
        if rng.random() < 0.25:
            return ""
        out = []
        for _ in range(rng.choice([1, 1, 1, 2, 2, 3])):
            table = rng.choice(g.keytables)
            r = rng.random()
            if r < 0.35:
                key = "'%s' | 0x100" % rng.choice(KEY_LETTERS)
            elif r < 0.55:
                key = "0x2%02x" % rng.randrange(1, 13)
            elif r < 0.75:
                key = "'%s' - '@'" % rng.choice(KEY_LETTERS.upper())
            else:
                key = "'%s'" % rng.choice(KEY_LETTERS + KEY_LETTERS.upper())
            out.append("%s[%s]" % (table, key))
        return " on " + ", ".join(out)


def write_one(path, lines, seed, common, preproc):
    out_dir = os.path.dirname(os.path.abspath(path))
    stem = os.path.splitext(os.path.basename(path))[0]
    header_name = stem + "_defs.h"
    gen = Generator(lines, seed, common, preproc, header_name)
    main_lines, hdr_lines = gen.run()
    with open(path, "w") as fh:
        fh.write("\n".join(main_lines) + "\n")
    if hdr_lines:
        with open(os.path.join(out_dir, header_name), "w") as fh:
            fh.write("\n".join(hdr_lines) + "\n")
    return gen, len(main_lines), len(hdr_lines), header_name


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--lines", type=int, required=True,
                    help="total lines of the main file and its include file")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--common", action="store_true",
                    help="write the subset that is both QXL and C")
    ap.add_argument("--no-preproc", action="store_true",
                    help="leave out #include, #define and #if")
    ap.add_argument("--batch", type=int, default=0, metavar="K",
                    help="write K files (seeds SEED..SEED+K-1), named after "
                    "OUTPUT with _001, _002, ... before the extension")
    ap.add_argument("-q", "--quiet", action="store_true")
    ap.add_argument("-o", "--output", required=True)
    a = ap.parse_args()
    if a.lines < 200:
        ap.error("--lines must be at least 200")
    if a.batch:
        root, ext = os.path.splitext(a.output)
        paths = ["%s_%03d%s" % (root, i + 1, ext or ".q")
                 for i in range(a.batch)]
    else:
        paths = [a.output]
    for i, path in enumerate(paths):
        gen, nmain, nhdr, header_name = write_one(
            path, a.lines, a.seed + i, a.common, not a.no_preproc)
        if not a.quiet:
            sys.stderr.write(
                "%s: %d lines (%d in %s), %d functions, %d modules, "
                "%d distinct strings (%d pool bytes)\n" % (
                    path, nmain + nhdr, nhdr,
                    header_name if nhdr else "-", len(gen.funcs),
                    gen.module_count, len(gen.strings.distinct),
                    gen.strings.pool_bytes))


if __name__ == "__main__":
    main()
