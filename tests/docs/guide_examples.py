#!/usr/bin/env python3
"""The examples of the user guide still behave as the guide shows.

    guide_examples.py GUIDE QXL QXLDIS QXLRUN

Every ```c block that the paragraph before it introduces by a file name
(the last `NAME.q` in that paragraph) is written to a scratch directory
under that name.  Then the ```console blocks are run there, in the order of
the guide: each `$ COMMAND` line whose program is qxl, qxldis, qxlrun, echo
or ls and that names no path with a '/' (those need a set-up of their own)
is run with sh, with standard error joined to standard output, and what it
prints must be the lines that follow it in the block; a line "..." stands
for any number of lines.  `echo $?` prints the status of the command before
it.  The guide's relative links must name files next to it, and its
#anchors must be headings.

Exit status 0 when everything matches, 1 otherwise.
"""
import os
import re
import subprocess
import sys
import tempfile

RUNNABLE = {"qxl", "qxldis", "qxlrun", "echo", "ls"}


def blocks(text):
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


def after_id_variable(lines):
    """The lines with the offsets after the id variable made alike: the
    variable holds the source's absolute path, so what follows it moves
    with the length of the directory the example runs in."""
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


def check_links(guide, text, failures):
    here = os.path.dirname(os.path.abspath(guide))
    anchors = set()
    for heading in re.findall(r"^#+ (.*)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
        anchors.add(slug)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"^[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        if path and not os.path.exists(os.path.join(here, path)):
            failures.append("the guide links to %s, which is not in %s"
                            % (path, here))
        if anchor and not path and anchor not in anchors:
            failures.append("the guide links to #%s, which is no heading"
                            % anchor)


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    guide, qxl, qxldis, qxlrun = argv
    with open(guide, encoding="utf-8") as f:
        text = f.read()
    failures = []
    check_links(guide, text, failures)

    with tempfile.TemporaryDirectory(prefix="qxl-guide.") as scratch:
        run_examples(text, {"qxl": qxl, "qxldis": qxldis, "qxlrun": qxlrun},
                     scratch, failures)
    for failure in sorted(set(failures), key=failures.index):
        print("FAIL: " + failure)
    if failures:
        return 1
    print("ok")
    return 0


def run_examples(text, programs, scratch, failures):
    bin_dir = os.path.join(scratch, "bin")
    work = os.path.join(scratch, "work")
    os.mkdir(bin_dir)
    os.mkdir(work)
    for name, path in programs.items():
        os.symlink(os.path.abspath(path), os.path.join(bin_dir, name))
    # The examples run as a user would: no options or paths from outside.
    env = {k: v for k, v in os.environ.items()
           if not re.match(r"^(QXL|QLTPATH|QLTCUSTDIR)", k)}
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    env["HOME"] = work  # no headers of the user who runs the test
    env["LC_ALL"] = "C"

    sources = 0
    for kind, before, body in blocks(text):
        if kind != "c":
            continue
        names = re.findall(r"`([\w.-]+\.q)`", before)
        if names:
            with open(os.path.join(work, names[-1]), "w") as f:
                f.write("\n".join(body) + "\n")
            sources += 1
    if sources < 4:
        failures.append("only %d named source examples found in the guide"
                        % sources)

    commands = 0
    status = 0
    for kind, _, body in blocks(text):
        if kind != "console":
            continue
        i = 0
        while i < len(body):
            if not body[i].startswith("$ "):
                i += 1
                continue
            command = body[i][2:]
            j = i + 1
            while j < len(body) and not body[j].startswith("$ "):
                j += 1
            expected = body[i + 1:j]
            i = j
            words = command.split()
            if words[0] not in RUNNABLE or "/" in command:
                continue
            if command == "echo $?":
                actual = [str(status)]
            else:
                result = subprocess.run(
                    ["sh", "-c", command + " 2>&1"], cwd=work, env=env,
                    capture_output=True, text=True, timeout=60,
                    stdin=subprocess.DEVNULL)
                status = result.returncode
                actual = result.stdout.splitlines()
            commands += 1
            if not matches(expected, actual):
                failures.append("$ %s\n  the guide shows:\n    %s\n  it prints:\n    %s"
                                % (command, "\n    ".join(expected),
                                   "\n    ".join(actual)))
    if commands < 10:
        failures.append("only %d example commands run from the guide" % commands)
    print("%d sources written, %d commands run" % (sources, commands))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
