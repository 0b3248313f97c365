#!/usr/bin/env python3
"""Split a program's instruction count, as callgrind counts it, by stage.

Used by measure.py; standard library only.  The program must carry debug
information (file names), as a Release build with -g does: each function
belongs to the source file it was compiled from, and that file's folder
names its stage.

A stage's count is inclusive of the library work its own code asks for:

  - every cost line of a function of the program goes to the stage of the
    file the function was compiled from, code inlined into it included (an
    inlined std::vector operation or a small helper from another folder's
    header counts for the function that runs it);
  - a call from a function of the program to a function outside it (the C
    library, the C++ runtime, an out-of-line template instance) adds the
    call's inclusive count to the caller's stage;
  - the cost of functions outside the program is otherwise left out, so
    what no function of the program called (the dynamic loader, start-up
    and exit) is what remains: total less the stages.

A call from outside the program back into it (a comparison function called
by the library's sort) would be counted twice: its inclusive count is kept
as `callbacks` so a reader can see how much that is.

Usage as a program: stages.py REPO CALLGRIND.OUT [STAGE=PREFIX ...]
"""

import os
import sys

# The compiler's stages: the first rule whose folder or file prefix (relative
# to the repository) matches a file names its stage.
QXL_STAGES = [
    ("front", "source/",
     "reading, lexing, preprocessing, symbol look-up (source/)"),
    ("nodes", "types/nodes.",
     "tree nodes (types/nodes)"),
    ("parse", "types/",
     "parsing and type checks (types/, less the nodes)"),
    ("codegen", "codegen/",
     "code generation (codegen/)"),
    ("output", "bytecode/",
     "output (bytecode/)"),
    ("driver", "driver/",
     "driver: options, messages, start and finish of the run (driver/)"),
]


class Split:
    """The result: total, per-stage counts and their largest functions."""

    def __init__(self):
        self.total = 0
        self.stages = {}        # key -> instructions
        self.functions = {}     # key -> {function name -> instructions}
        self.callbacks = 0

    def rest(self):
        return self.total - sum(self.stages.values())


def _rule_for(path, repo, rules, cache):
    """The stage of a source file, or None when it is not the program's."""
    if path in cache:
        return cache[path]
    stage = None
    if path and path != "???":
        full = os.path.normpath(os.path.join(repo, path))
        rel = os.path.relpath(full, repo)
        if not rel.startswith(".."):
            for key, prefix, _ in rules:
                if rel.startswith(prefix):
                    stage = key
                    break
    cache[path] = stage
    return stage


def _name(value, table):
    """Resolves callgrind's name compression: "(id) name" defines an id,
    "(id)" refers to it."""
    value = value.strip()
    if value.startswith("("):
        close = value.find(")")
        if close > 0:
            ident = value[1:close]
            rest = value[close + 1:].strip()
            if rest:
                table[ident] = rest
                return rest
            return table.get(ident, "???")
    return value


def _cost(line):
    """The first event count of a cost line (after its position), or 0."""
    fields = line.split()
    if len(fields) < 2:
        return 0
    try:
        return int(fields[1])
    except ValueError:
        return 0


class _Function:
    """What the output file says of one function (merged by name)."""

    def __init__(self):
        self.home = []      # the files it is filed under (fl=)
        self.lines = {}     # file of the code (fl=, fi=, fe=) -> instructions
        self.calls = []     # (callee name, inclusive instructions)


def _read(path):
    """Reads a callgrind output file (one part, event Ir first): the total
    and the functions."""
    total = 0
    funcs = {}
    files, fns = {}, {}
    cur = _Function()
    code_file = ""
    fl_file = ""
    callee = ""
    in_call = False
    with open(path, errors="replace") as fh:
        for line in fh:
            if not line or line[0] == "#":
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                n = _cost(line)
                if in_call:
                    in_call = False
                    cur.calls.append((callee, n))
                else:
                    cur.lines[code_file] = cur.lines.get(code_file, 0) + n
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "fl":
                fl_file = code_file = _name(value, files)
            elif key in ("fi", "fe"):
                code_file = _name(value, files)
            elif key == "fn":
                name = _name(value, fns)
                cur = funcs.setdefault(name, _Function())
                if fl_file not in cur.home:
                    cur.home.append(fl_file)
                code_file = fl_file
            elif key in ("cfi", "cfl"):
                _name(value, files)
            elif key == "cfn":
                callee = _name(value, fns)
            elif key == "calls":
                in_call = True
            elif line.startswith(("totals:", "summary:")):
                try:
                    total = max(total, int(line.split()[1]))
                except (IndexError, ValueError):
                    pass
    return total, funcs


def _qualified(name):
    """A demangled function's qualified name, without its return type (a
    template instance's) and parameters: "void qxl::emit<int>(int)" gives
    "qxl::emit<int>"."""
    head = name.split("(anonymous namespace)::")
    head = "".join(head)
    depth, start = 0, 0
    for i, c in enumerate(head):
        if c == "<":
            depth += 1
        elif c == ">":
            depth -= 1
        elif c == "(" and depth == 0:
            return head[start:i]
        elif c == " " and depth == 0:
            start = i + 1
    return head[start:]


def _stage_of(name, fn, repo, rules, cache):
    """The stage of a function, or None when it is not the program's.

    A function is the program's when callgrind files it under one of the
    program's files, or when it is named in the program's namespace (or is
    main): callgrind files a function under the file of its first
    instruction, which may be inlined library code (a vector's size).  A
    library template instantiated for the program's types
    (std::deque<qxl::Node>) stays the library's.

    Its stage is that of the program's .cpp file holding most of its code,
    the file it was compiled from (helpers inlined from headers of other
    folders do not move it); a function all of whose code is in headers
    goes by the header holding most of it."""
    own = any(_rule_for(home, repo, rules, cache) is not None
              for home in fn.home)
    if not own:
        q = _qualified(name)
        own = q.startswith("qxl::") or q == "main"
    if not own:
        return None
    best = {}
    for path, n in fn.lines.items():
        stage = _rule_for(path, repo, rules, cache)
        if stage is not None:
            kind = 1 if path.endswith((".cpp", ".cc", ".c")) else 0
            if (kind, n) > best.get("key", (-1, -1)):
                best = {"key": (kind, n), "stage": stage}
    if best:
        return best["stage"]
    for home in fn.home:
        stage = _rule_for(home, repo, rules, cache)
        if stage is not None:
            return stage
    return None


def split(path, repo, rules=QXL_STAGES):
    """Splits the count of a callgrind output file by stage."""
    repo = os.path.abspath(repo)
    result = Split()
    for key, _, _ in rules:
        result.stages[key] = 0
        result.functions[key] = {}
    result.total, funcs = _read(path)
    cache = {}
    stage = {name: _stage_of(name, fn, repo, rules, cache)
             for name, fn in funcs.items()}
    called_from_program = set()
    for name, fn in funcs.items():
        s = stage[name]
        if s is None:
            continue
        n = sum(fn.lines.values())
        for callee, c in fn.calls:
            if stage.get(callee) is None:
                n += c
                called_from_program.add(callee)
        result.stages[s] += n
        result.functions[s][name] = n
    # Only a function outside the program that the program itself called
    # counts a call back into it twice; main, called by the C library's
    # start-up, does not.
    for name in called_from_program:
        for callee, c in funcs[name].calls if name in funcs else []:
            if stage.get(callee) is not None:
                result.callbacks += c
    return result


def short_name(name):
    """A function's name without its parameter list and namespace."""
    return _qualified(name).replace("qxl::", "")


def top_functions(result, key, count=3):
    items = sorted(result.functions[key].items(), key=lambda kv: -kv[1])
    merged = {}
    for name, n in items:
        s = short_name(name)
        merged[s] = merged.get(s, 0) + n
    return sorted(merged.items(), key=lambda kv: -kv[1])[:count]


def main():
    if len(sys.argv) < 3:
        sys.stderr.write("usage: stages.py REPO CALLGRIND.OUT "
                         "[STAGE=PREFIX ...]\n")
        return 2
    rules = QXL_STAGES
    if len(sys.argv) > 3:
        rules = [(a.split("=", 1)[0], a.split("=", 1)[1], a)
                 for a in sys.argv[3:] if "=" in a]
    r = split(sys.argv[2], sys.argv[1], rules)
    print("total %d" % r.total)
    for key, _, label in rules:
        print("%-8s %13d  %5.1f%%  %s" % (key, r.stages[key],
                                          100.0 * r.stages[key] / max(r.total, 1),
                                          label))
    print("rest     %13d  %5.1f%%" % (r.rest(), 100.0 * r.rest() / max(r.total, 1)))
    print("callbacks counted twice: %d" % r.callbacks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
