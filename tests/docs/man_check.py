#!/usr/bin/env python3
"""Checks of the manual pages in docs/man against the programs.

    man_check.py lint PAGE...
        mandoc's lint (no message at all, style notes included, but those
        about the installed pages) and the formatter's own warnings as
        man(1) reports them.
    man_check.py sections VERSION_PROGRAM FILE...
        the sections every page (FILE ending in .1) needs, the page's name
        and title, and that every version number in the files (pages and
        guide) is the programs' version.
    man_check.py options PROGRAM BINARY PAGE GUIDE
        every option that the program's usage text lists (and, for qxl,
        every option letter the program accepts) is documented as an option
        of the page, and every option the page documents exists; for qxl,
        the guide names every option too.
    man_check.py environment QXL_BINARY PAGE
        the order of the versioned names of QXL, QLTPATH and QLTCUSTDIR
        that the page gives is the order in which qxl looks them up.

Exit status 0 when every check passes, 1 otherwise (each failure is one
line starting with FAIL).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

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
        # Every message counts, style notes included, except those about
        # the pages installed on the machine (a stale database, a page
        # named in SEE ALSO that is not installed), which are not the
        # page's fault.
        result = run(["mandoc", "-Tlint", "-W", "style", page])
        output = (result.stdout + result.stderr).strip()
        lines = [l for l in output.splitlines()
                 if "mandoc.db" not in l and "referenced manual not found" not in l]
        # Its status is 1 to 4 for messages (the filtered ones too), 5
        # and up when it could not do its work.
        if lines or result.returncode >= 5:
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
        m = re.match(r"^(--?(?:[a-zA-Z][a-z-]*)?)(?=\s)", line)
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


# ---- environment -----------------------------------------------------------

def versioned_names(text):
    """The versioned names of QXL in the order the page gives them: the
    words of the literal display after 'tried in this order'."""
    at = text.find("tried in this order")
    if at < 0:
        return []
    start = text.find(".Bd -literal", at)
    end = text.find(".Ed", start)
    if start < 0 or end < 0:
        return []
    return [w for w in text[start:end].split() if re.fullmatch(r"QXL[\w-]*", w)]


def check_environment(binary, page):
    """The page's order of the versioned names is the order in which qxl
    looks them up, for each of its three variables: with the names from
    the i-th on all set, the i-th wins; set to an empty value, it still
    wins over the later ones."""
    with open(page, encoding="utf-8") as f:
        names = versioned_names(f.read())
    if len(names) < 2 or names[-1] != "QXL":
        fail("%s: no list of versioned names ending in QXL after 'tried in "
             "this order': %r" % (page, names))
        return
    clean = {k: v for k, v in os.environ.items()
             if not re.match(r"^(QXL|QLTPATH|QLTCUSTDIR)", k)}
    with tempfile.TemporaryDirectory(prefix="qxl-env.") as scratch:
        source = os.path.join(scratch, "empty.q")
        open(source, "w").close()

        def listing(env, *options):
            result = run([binary, "-n", "-v"] + list(options) + [source],
                         env=dict(clean, **env), cwd=scratch)
            return result.stdout.splitlines()

        def include_path(lines):
            body = lines[lines.index("Include path:") + 1:] \
                if "Include path:" in lines else []
            return body[:body.index("")] if "" in body else body

        for base, options, shows in (
                ("QXL", ["-w2"], lambda v: "#define SEEN " + v),
                ("QLTPATH", [], lambda v: v + "/include/"),
                ("QLTCUSTDIR", [], lambda v: v + "/include/")):
            variables = [base + n[3:] for n in names]
            for i, name in enumerate(variables):
                env = {}
                for j, later in enumerate(variables[i:], i):
                    env[later] = ("-dSEEN=v%d" if base == "QXL" else "/v%d") % j
                lines = listing(env, *options)
                seen = lines if base == "QXL" else include_path(lines)[:1]
                if shows(("v%d" if base == "QXL" else "/v%d") % i) not in seen:
                    fail("%s: with %s set, %s does not win: %s"
                         % (page, ", ".join(env), name, " | ".join(lines)))
                if base == "QLTPATH" and i + 1 < len(variables):
                    env[name] = ""
                    got = include_path(listing(env))
                    if got != ["include/"]:
                        fail("%s: %s set to an empty value does not win over "
                             "%s: the include path is %r"
                             % (page, name, variables[i + 1], got))


def main(argv):
    if len(argv) >= 2 and argv[0] == "lint":
        lint(argv[1:])
    elif len(argv) >= 3 and argv[0] == "sections":
        check_sections(argv[1], argv[2:])
    elif len(argv) == 3 and argv[0] == "environment":
        check_environment(argv[1], argv[2])
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
