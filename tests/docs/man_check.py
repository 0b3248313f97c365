#!/usr/bin/env python3
"""Checks of the manual pages in docs/man against the programs.

    man_check.py lint PAGE...
        mandoc's lint (no message of level warning or above) and the
        formatter's own warnings as man(1) reports them.
    man_check.py sections VERSION_PROGRAM FILE...
        the sections every page (FILE ending in .1) needs, the page's name
        and title, and that every version number in the files (pages and
        guide) is the programs' version.
    man_check.py options PROGRAM BINARY PAGE GUIDE
        every option that the program's usage text lists (and, for qxl,
        every option letter the program accepts) is documented as an option
        of the page, and every option the page documents exists; for qxl,
        the guide names every option too.

Exit status 0 when every check passes, 1 otherwise (each failure is one
line starting with FAIL).
"""
import os
import re
import shutil
import subprocess
import sys

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL, **kwargs)


# ---- Reading mdoc sources ------------------------------------------------

MACRO = re.compile(r"^[A-Z][a-z][a-z]?$")  # Fl, Ar, Ns, Op, Oo, Oc, ...


def unescape(word):
    return word.replace("\\-", "-").replace("\\&", "").replace("\\e", "\\")


def sections(text):
    """The page's sections: a list of (name, list of lines)."""
    result = []
    for line in text.splitlines():
        if line.startswith(".Sh "):
            result.append((line[4:].strip().strip('"'), []))
        elif result:
            result[-1][1].append(line)
    return result


def flags_in(line):
    """The options that the Fl macros of one macro line render, with their
    hyphen: '.It Fl \\-call Ar name' gives ['--call'], '.Op Fl bepqsv'
    gives ['-bepqsv'], '.Fl \\-help | \\-version' gives both and a bare
    'Fl' gives ['-']."""
    if not line.startswith("."):
        return []
    words = line[1:].split()
    found = []
    for i, word in enumerate(words):
        if word != "Fl":
            continue
        args = []
        for following in words[i + 1:]:
            if MACRO.match(following):
                break
            args.append(following)
        # Every argument of Fl is one option; punctuation stays apart.
        words_here = [unescape(a) for a in args if a not in ",|;.:()"]
        if not words_here:
            found.append("-")
        found.extend("-" + w.rstrip(",;") for w in words_here)
    return found


def documented_options(text):
    """The options that the page documents as items of an option list:
    the Fl words of every '.It Fl ...' line, and the option lines of nested
    lists with their item lines, keyed by the option."""
    items = {}
    current = None
    for line in text.splitlines():
        if line.startswith(".It Fl"):
            current = flags_in(line)
            for flag in current:
                items.setdefault(flag, [])
        elif line.startswith(".Sh") or line.startswith(".Ss"):
            current = None
        elif current:
            for flag in current:
                items[flag].append(line)
    return items


# ---- lint ------------------------------------------------------------------

def lint(pages):
    if shutil.which("mandoc") is None:
        fail("mandoc is not installed (Debian package mandoc)")
        return
    for page in pages:
        result = run(["mandoc", "-Tlint", "-W", "warning", page])
        output = (result.stdout + result.stderr).strip()
        # mandoc may note a stale database of installed pages: not the page's
        # fault.
        lines = [l for l in output.splitlines() if "mandoc.db" not in l]
        if lines or result.returncode != 0:
            fail("mandoc -Tlint %s:\n%s" % (page, "\n".join(lines)))
    # The formatter's warnings, as the Debian package check asks man(1) for
    # them (lines that cannot be broken, unknown escapes, ...).
    if shutil.which("man") is None:
        fail("man is not installed (Debian package man-db)")
        return
    env = dict(os.environ, LC_ALL="C.UTF-8", MANROFFSEQ="", MANWIDTH="80")
    for page in pages:
        result = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z",
                      page], env=env)
        if result.returncode != 0 or result.stderr.strip():
            fail("man --warnings %s:\n%s" % (page, result.stderr.strip()))


# ---- sections --------------------------------------------------------------

REQUIRED = ["NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "EXAMPLES"]
REQUIRED_FOR = {"qxl": ["ENVIRONMENT", "FILES", "DIAGNOSTICS"]}


def check_sections(version_program, pages):
    result = run([version_program, "--version"])
    match = re.search(r"(\d+)\.(\d+)", result.stdout)
    if not match:
        fail("%s --version printed no version: %r" % (version_program,
                                                       result.stdout))
        return
    version = match.group(0)
    tag = match.group(1) + match.group(2)
    for page in pages:
        with open(page, encoding="utf-8") as f:
            text = f.read()
        check_version_names(page, text, version, tag)
        if not page.endswith(".1"):
            continue
        name = os.path.basename(page)[:-2]
        found = [s for s, _ in sections(text)]
        for section in REQUIRED + REQUIRED_FOR.get(name, []):
            if section not in found:
                fail("%s has no %s section" % (page, section))
        if not re.search(r"^\.Dt %s 1$" % re.escape(name.upper()), text, re.M):
            fail("%s: its title is not '.Dt %s 1'" % (page, name.upper()))
        names = dict(sections(text)).get("NAME", [])
        if ".Nm " + name not in names:
            fail("%s: NAME does not give '.Nm %s'" % (page, name))


def check_version_names(path, text, version, tag):
    """The product directories, package names and versioned variables that
    a page or the guide names follow the programs' version."""
    for seen in sorted(set(re.findall(r"(?:quillet|qxl_)(\d+\.\d+)", text))):
        if seen != version:
            fail("%s names version %s, but the programs are %s"
                 % (path, seen, version))
    for seen in sorted(set(re.findall(r"(?:QXL|QLTPATH|QLTCUSTDIR)(\d+)", text))):
        if not tag.startswith(seen):
            fail("%s names a versioned variable with %s, which is not a "
                 "start of %s" % (path, seen, tag))


# ---- options ---------------------------------------------------------------

def usage_options(program, binary):
    """The options the program's own usage text lists."""
    if program == "qxl":
        result = run([binary])  # no arguments: the usage, status 1
        if result.returncode != 1 or "usage: qxl" not in result.stdout:
            fail("qxl without arguments: status %d, no usage text on standard "
                 "output" % result.returncode)
        options = {}
        for line in result.stdout.splitlines():
            m = re.match(r"^-(\S+)\s{2,}\S", line)
            if m:
                word = m.group(1)
                options.setdefault("-" + word[0], []).append(word)
        return options
    result = run([binary, "--help"])
    if result.returncode != 0:
        fail("%s --help: status %d" % (program, result.returncode))
    options = {}
    for line in result.stdout.splitlines():
        m = re.match(r"^(--(?:[a-z][a-z-]*)?)(?=\s)", line)
        if m:
            options.setdefault(m.group(1), []).append(line)
        if line.startswith("usage:"):
            for long in re.findall(r"\[(--[a-z-]*)", line):
                options.setdefault(long, []).append(line)
    return options


def probed_letters(binary):
    """The option letters qxl accepts: every letter that does not give
    'unknown switch', in lower case, and F."""
    known = set()
    for letter in "abcdefghijklmnopqrstuvwxyz":
        for form in (letter, letter.upper()):
            result = run([binary, "-n", "-" + form])
            output = result.stdout + result.stderr
            if "unknown switch" not in output:
                known.add(form if form == "F" else letter)
            elif form == letter.upper() and letter in known:
                fail("qxl takes -%s but not -%s, although the page says the "
                     "letters may be given in either case" % (letter, form))
    return known


def check_options(program, binary, page, guide):
    with open(page, encoding="utf-8") as f:
        text = f.read()
    listed = usage_options(program, binary)
    if not listed:
        fail("no options found in the usage text of %s" % program)
        return
    items = documented_options(text)
    synopsis = [flag for line in dict(sections(text)).get("SYNOPSIS", [])
                for flag in flags_in(line)]

    def in_synopsis(option):
        if option in synopsis:
            return True
        if program == "qxl":
            letter = option[1:]
            return any(f[1:2] == letter or
                       (re.fullmatch(r"-[a-zA-Z]+", f) and letter in f[1:])
                       for f in synopsis)
        return option in synopsis

    wanted = set(listed)
    if program == "qxl":
        wanted |= {"-" + l for l in probed_letters(binary)}
    for option in sorted(wanted):
        if option not in items:
            fail("%s: option %s of %s is not an item (.It Fl) of the page"
                 % (page, option, program))
        if not in_synopsis(option):
            fail("%s: option %s of %s is not in the SYNOPSIS"
                 % (page, option, program))
    # Options the page documents that the program does not have.  qxl's
    # usage does not show --, which ends its options.
    extra_allowed = {"--"} if program == "qxl" else set()
    for option in sorted(items):
        if option not in wanted and option not in extra_allowed:
            fail("%s documents %s, which %s does not list or accept"
                 % (page, option, program))

    if program == "qxl":
        # The bits of -w that the usage names are items of the -w list.
        bits = {w[1:] for w in listed.get("-w", []) if w[1:].isdigit()}
        described = {m.group(1) for line in items.get("-w", [])
                     for m in [re.match(r"^\.It (\d+)$", line)] if m}
        for bit in sorted(bits - described):
            fail("%s: bit %s of -w is not described" % (page, bit))
        # The guide shows every option too.
        with open(guide, encoding="utf-8") as f:
            guide_text = f.read()
        for option in sorted(wanted):
            if "`" + option not in guide_text:
                fail("%s does not mention the option %s" % (guide, option))


def main(argv):
    if len(argv) >= 2 and argv[0] == "lint":
        lint(argv[1:])
    elif len(argv) >= 3 and argv[0] == "sections":
        check_sections(argv[1], argv[2:])
    elif len(argv) == 5 and argv[0] == "options":
        check_options(*argv[1:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    if failures:
        print("%d problem(s)" % len(failures))
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
