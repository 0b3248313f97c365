#!/usr/bin/env python3
"""The examples of the user guide and of the manual pages still behave as
they are shown.

    doc_examples.py --qxl Q --qxldis D --qxlrun R --examples DIR DOC...

The programs are put into a scratch installation laid out as `make
install` lays it out (PREFIX/lib/quilletVERSION/bin with links in
PREFIX/bin), and the examples run as a user would run them: in the home
directory of a user of their own, with PREFIX/bin first on PATH and no
QXL, QLTPATH or QLTCUSTDIR set.  In what a document shows, /home/me stands
for that home directory and /usr/local/lib/ for PREFIX/lib/.  The files
of DIR (the shipped examples) are copied into the home directory.

A Markdown DOC: every ```c block that the paragraph before it introduces
by a file name (the last `NAME.q` or `NAME.h` in that paragraph, which
may have a directory part) is written under that name first.  Then the
```console blocks are run in the order of the document.

A manual page: the literal displays (.Bd -literal ... .Ed) are read with
the roff escapes undone, in the order of the page; `$ cat NAME` followed
by lines writes those lines to NAME, and the commands are run.

Each `$ COMMAND` line whose program (after any VAR=value words) is qxl,
qxldis, qxlrun, echo or ls is run with sh, with standard error joined to
standard output, and what it prints must be the lines that follow it; a
line "..." stands for any number of lines, a line "$" alone for an empty
prompt.  `echo $?` prints the status of the command before it.  Other
commands (make, apt, ...) are not run.  The id variable of a bytecode
file holds the path of its source, so the offsets of the records after it
are not compared.  The guide's relative links must name files next to it,
and its #anchors must be headings.

Exit status 0 when everything matches, 1 otherwise.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

RUNNABLE = {"qxl", "qxldis", "qxlrun", "echo", "ls"}
PROGRAMS = ("qxl", "qxldis", "qxlrun")
SHOWN_HOME = "/home/me"
SHOWN_LIB = "/usr/local/lib/"


# ---- Reading the documents -------------------------------------------------

def markdown_blocks(text):
    """(kind, paragraph before it, lines) for every fenced block."""
    result = []
    lines = text.splitlines()
    i = 0
    paragraph = []
    closed = False
    while i < len(lines):
        line = lines[i]
        m = re.match(r"^```(\w*)$", line)
        if m:
            body = []
            i += 1
            while i < len(lines) and lines[i] != "```":
                body.append(lines[i])
                i += 1
            result.append((m.group(1), " ".join(paragraph), body))
            paragraph = []
        elif line.strip() == "":
            closed = True
        else:
            if closed:
                paragraph = []
            closed = False
            paragraph.append(line)
        i += 1
    return result


def roff_text(line):
    """A line of a literal display as it renders."""
    return (line.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")
            .replace("\\(aq", "'"))


def mdoc_displays(text):
    """The lines of every literal display of a page, as they render."""
    result = []
    body = None
    for line in text.splitlines():
        if body is None:
            if line.startswith(".Bd") and "-literal" in line.split():
                body = []
        elif line.startswith(".Ed"):
            result.append(body)
            body = None
        elif not line.startswith(".\\\""):
            body.append(roff_text(line))
    return result


def sessions_of(lines):
    """The `$ COMMAND` lines of a display, each with the lines after it."""
    result = []
    for line in lines:
        if line == "$":
            result.append((None, []))
        elif line.startswith("$ "):
            result.append((line[2:], []))
        elif result:
            result[-1][1].append(line)
    return result


# ---- Comparing -------------------------------------------------------------

def after_id_variable(lines):
    result = []
    seen = False
    for line in lines:
        if seen:
            line = re.sub(r"^@\d+ ", "@N ", line)
        seen = seen or "(id variable)" in line
        result.append(line)
    return result


def matches(expected, actual):
    expected = after_id_variable(expected)
    actual = after_id_variable(actual)
    pattern = "".join("(?:.*\n)*?" if line == "..." else re.escape(line) + "\n"
                      for line in expected)
    return re.fullmatch(pattern, "".join(l + "\n" for l in actual)) is not None


def check_links(doc, text, failures):
    here = os.path.dirname(os.path.abspath(doc))
    anchors = set()
    for heading in re.findall(r"^#+ (.*)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        anchors.add(slug)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        if path and not os.path.exists(os.path.join(here, path)):
            failures.append("%s links to %s, which is not in %s"
                            % (doc, path, here))
        if anchor and not path and anchor not in anchors:
            failures.append("%s links to #%s, which is no heading"
                            % (doc, anchor))


# ---- The scratch installation ----------------------------------------------

def version_of(qxldis):
    out = subprocess.run([qxldis, "--version"], capture_output=True,
                         text=True, timeout=30).stdout
    m = re.search(r"\d+\.\d+", out)
    if not m:
        raise SystemExit("FAIL: %s --version printed no version" % qxldis)
    return m.group(0)


def install(scratch, programs, version):
    """PREFIX/lib/quilletVERSION/{bin,include} with links in PREFIX/bin.
    The programs are hard links (copies across file systems), so that they
    find themselves in the product directory."""
    prefix = os.path.join(scratch, "prefix")
    product = os.path.join(prefix, "lib", "quillet" + version)
    os.makedirs(os.path.join(product, "bin"))
    os.makedirs(os.path.join(product, "include"))
    os.makedirs(os.path.join(prefix, "bin"))
    for name in PROGRAMS:
        target = os.path.join(product, "bin", name)
        try:
            os.link(programs[name], target)
        except OSError:
            shutil.copy2(programs[name], target)
        os.symlink(os.path.join("..", "lib", "quillet" + version, "bin", name),
                   os.path.join(prefix, "bin", name))
    return prefix


def environment(prefix, home):
    env = {k: v for k, v in os.environ.items()
           if not re.match(r"^(QXL|QLTPATH|QLTCUSTDIR)", k)}
    env["PATH"] = os.path.join(prefix, "bin") + os.pathsep + \
        env.get("PATH", "/usr/bin:/bin")
    env["HOME"] = home
    env["LC_ALL"] = "C"
    env.pop("TMPDIR", None)
    return env


# ---- Running ---------------------------------------------------------------

def runnable(command):
    words = re.sub(r"^(?:[A-Za-z_][\w-]*=(?:'[^']*'|\S*)\s+)*", "",
                   command).split()
    return bool(words) and words[0] in RUNNABLE


def write_file(home, name, lines):
    path = os.path.join(home, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


class Runner:
    def __init__(self, doc, prefix, home, failures):
        self.doc = doc
        self.home = home
        self.env = environment(prefix, home)
        self.shown = [(SHOWN_HOME, home),
                      (SHOWN_LIB, os.path.join(prefix, "lib") + "/")]
        self.failures = failures
        self.status = 0
        self.count = 0

    def run(self, command, expected):
        if command is None or not runnable(command):
            return
        for shown, real in self.shown:
            expected = [line.replace(shown, real) for line in expected]
        if command == "echo $?":
            actual = [str(self.status)]
        else:
            result = subprocess.run(
                ["sh", "-c", command + " 2>&1"], cwd=self.home, env=self.env,
                capture_output=True, text=True, timeout=60,
                stdin=subprocess.DEVNULL)
            self.status = result.returncode
            actual = result.stdout.splitlines()
        self.count += 1
        if not matches(expected, actual):
            self.failures.append(
                "%s: $ %s\n  the document shows:\n    %s\n  it prints:\n    %s"
                % (self.doc, command, "\n    ".join(expected),
                   "\n    ".join(actual)))


def check_markdown(doc, text, runner, failures):
    check_links(doc, text, failures)
    sources = 0
    for kind, before, body in markdown_blocks(text):
        if kind != "c":
            continue
        names = re.findall(r"`((?:[\w.-]+/)*[\w.-]+\.[qh])`", before)
        if names:
            write_file(runner.home, names[-1], body)
            sources += 1
    if sources < 6:
        failures.append("%s: only %d named source examples found"
                        % (doc, sources))
    for kind, _, body in markdown_blocks(text):
        if kind == "console":
            for command, expected in sessions_of(body):
                runner.run(command, expected)
    if runner.count < 20:
        failures.append("%s: only %d example commands run" % (doc, runner.count))


def check_page(doc, text, runner, failures):
    for display in mdoc_displays(text):
        for command, expected in sessions_of(display):
            m = re.fullmatch(r"cat (\S+)", command or "")
            if m:
                write_file(runner.home, m.group(1), expected)
            else:
                runner.run(command, expected)
    if runner.count < 1:
        failures.append("%s: no example command run" % doc)


def main(argv):
    parser = argparse.ArgumentParser(usage=__doc__)
    for name in PROGRAMS:
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("docs", nargs="+")
    args = parser.parse_args(argv)
    programs = {name: os.path.abspath(getattr(args, name)) for name in PROGRAMS}
    version = version_of(programs["qxldis"])

    failures = []
    for doc in args.docs:
        with open(doc, encoding="utf-8") as f:
            text = f.read()
        # Made in the current directory (the test's directory in the build
        # tree), where the programs can be hard-linked rather than copied.
        with tempfile.TemporaryDirectory(prefix="qxl-docs.",
                                         dir=os.getcwd()) as scratch:
            prefix = install(scratch, programs, version)
            home = os.path.join(scratch, "home", "me")
            os.makedirs(home)
            for name in sorted(os.listdir(args.examples)):
                source = os.path.join(args.examples, name)
                if os.path.isfile(source):
                    shutil.copy(source, home)
            runner = Runner(doc, prefix, home, failures)
            if doc.endswith(".md"):
                check_markdown(doc, text, runner, failures)
            else:
                check_page(doc, text, runner, failures)
            print("%s: %d commands run" % (doc, runner.count))
    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
