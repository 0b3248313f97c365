#!/usr/bin/env python3
"""Tests qxl-lsp with a real editor's language client.

  lsp_client_test.py neovim|emacs|vim QXL_LSP QXL SOURCE_DIR

QXL_LSP is the built server, QXL the built compiler, SOURCE_DIR the top
of the source tree.  In a fresh temporary folder (its name has a blank)
the test writes a source with a note and an error, compiles it with qxl
to learn the messages the editor must show (their exact text and line)
and the type of a global as the compiler writes it, then runs the editor
in batch mode with the kit's client configuration.  The editor's check
script writes its failures to a file that ends with "checked N".

Neovim opens the file, waits for the diagnostics, asks for the hover of
a global and the definition of one of its uses; Emacs opens it with
eglot and waits for the diagnostics in flymake; Vim opens it with the
kit's ALE linter and waits for ALE's list of problems.  Every wait is bounded:
a server that does not answer is a failure, never a hang.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from editor_test import run_checks  # noqa: E402

# How long each of the editor's waits for the server may take (the whole
# run is bounded by run_checks).
SERVER_WAIT_MS = 20000

SOURCE_NAME = "prog.q"
SOURCE = """\
int counter;
char *label;

int bump(int by)
{
    counter = counter + by;
    return counter;
}

int mixed()
{
    counter = label;
    return 0;
}

int broken()
{
    return nosuch;
}
"""

# qxl's message lines: "FILE LINE: TEXT" and "FILE LINE: warning: TEXT".
MESSAGE = re.compile(r"^(?P<file>.+?) (?P<line>\d+): (?P<text>.*)$")


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def program(name, package):
    path = shutil.which(name)
    if path is None:
        fail(f"{name} not found: the test needs the real editor (Debian "
             f"package {package}); run 'make deps'")
    return path


def position(line_text, word, occurrence, line):
    """The protocol position (0-based line, UTF-16 column) of the
    occurrence-th (from 1) `word` of a line."""
    at = -1
    for _ in range(occurrence):
        at = line_text.index(word, at + 1)
    return {"line": line, "character": at}


def expectations(qxl, work):
    """What the editor must show, from qxl's own output on the source."""
    done = subprocess.run([qxl, "-n", SOURCE_NAME], cwd=work,
                          stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=30)
    messages = []
    for text in (done.stdout + done.stderr).splitlines():
        m = MESSAGE.match(text)
        if m and m.group("file") == SOURCE_NAME:
            messages.append({"line": int(m.group("line")),
                             "text": m.group("text")})
    if done.returncode != 1 or len(messages) < 2:
        fail(f"qxl {SOURCE_NAME}: status {done.returncode}, expected an "
             f"error after a note:\n{done.stdout}{done.stderr}")
    # The compile stops at its error, the last message.
    for i, message in enumerate(messages):
        message["error"] = i == len(messages) - 1
    # `counter = label` gives "mismatched types: TYPE OF COUNTER & ...".
    types = [m["text"] for m in messages
             if m["text"].startswith("mismatched types: ")]
    if not types:
        fail(f"qxl gave no mismatched-types note for {SOURCE_NAME}")
    counter_type = types[0][len("mismatched types: "):].split(" & ")[0]

    lines = SOURCE.splitlines()
    use_line = next(i for i, t in enumerate(lines) if "counter = counter" in t)
    return_line = next(i for i, t in enumerate(lines)
                       if "return counter" in t)
    return {
        "file": os.path.join(work, SOURCE_NAME),
        "wait_ms": SERVER_WAIT_MS,
        "messages": messages,
        "hover": {"position": position(lines[return_line], "counter", 1,
                                       return_line),
                  "name": "counter", "type": counter_type},
        # The right-hand use of counter; it is declared on the first line.
        "definition": {"position": position(lines[use_line], "counter", 2,
                                            use_line),
                       "line": 0},
    }


def neovim_command(source_dir, work, env):
    env["QXL_NEOVIM_KIT"] = os.path.join(source_dir, "editors", "neovim")
    return [program("nvim", "neovim"), "--headless", "--clean", "-n", "-u",
            os.path.join(HERE, "neovim", "check.lua")]


def emacs_command(source_dir, work, env):
    # The kit is byte-compiled in the work folder, never beside its source.
    kit = os.path.join(work, "emacs kit")
    os.makedirs(kit)
    for name in ("qxl-mode.el", "qxl-eglot.el"):
        shutil.copy(os.path.join(source_dir, "editors", "emacs", name), kit)
    env["QXL_EMACS_KIT"] = kit
    return [program("emacs", "emacs-nox"), "--batch", "-Q",
            "-l", os.path.join(HERE, "emacs", "check-eglot.el")]


# Where Debian's vim-ale package puts ALE.
ALE_DIR = "/usr/share/vim-ale"


def vim_command(source_dir, work, env):
    if not os.path.isfile(os.path.join(ALE_DIR, "plugin", "ale.vim")):
        fail(f"ALE not found in {ALE_DIR}: the test needs the real plugin "
             "(Debian package vim-ale); run 'make deps'")
    env["QXL_VIM_KIT"] = os.path.join(source_dir, "editors", "vim")
    env["QXL_VIM_ALE"] = ALE_DIR
    return [program("vim", "vim-nox"), "-N", "-u", "NONE", "-i", "NONE",
            "-n", "-es", "-S", os.path.join(HERE, "vim", "check-ale.vim")]


COMMANDS = {"neovim": neovim_command, "emacs": emacs_command,
            "vim": vim_command}


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        return 2
    editor, server, qxl, source_dir = sys.argv[1:]
    server = os.path.abspath(server)
    qxl = os.path.abspath(qxl)
    source_dir = os.path.abspath(source_dir)
    if not os.access(server, os.X_OK):
        fail(f"{server} is not an executable program")

    with tempfile.TemporaryDirectory(prefix="qxl lsp ") as work:
        with open(os.path.join(work, SOURCE_NAME), "w",
                  encoding="utf-8") as f:
            f.write(SOURCE)
        cases = os.path.join(work, "cases.json")
        with open(cases, "w", encoding="utf-8") as f:
            json.dump(expectations(qxl, work), f, indent=1)
        # Only the source stays beside it; qxl-lsp writes no file.
        bytecode = os.path.join(work, "prog.b")
        if os.path.exists(bytecode):
            os.remove(bytecode)
        home = os.path.join(work, "home")
        os.makedirs(home)
        result = os.path.join(work, "result.txt")
        env = dict(os.environ, HOME=home, QXL_TEST_CASES=cases,
                   QXL_TEST_RESULT=result, QXL_LSP_SERVER=server,
                   XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                   XDG_STATE_HOME=os.path.join(home, ".local", "state"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
        for variable in ("QXL", "QLTPATH", "QLTCUSTDIR", "EMACSLOADPATH",
                         "VIMINIT", "NVIM_LOG_FILE"):
            env.pop(variable, None)
        command = COMMANDS[editor](source_dir, work, env)
        return run_checks(f"{editor} with qxl-lsp", command, work, env,
                          result)


if __name__ == "__main__":
    sys.exit(main())
