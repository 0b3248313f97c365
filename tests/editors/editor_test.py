#!/usr/bin/env python3
"""Tests one editor kit with the real editor.

  editor_test.py vim|emacs|vscode QXL SOURCE_DIR

QXL is the built compiler, SOURCE_DIR the top of the source tree.  The
kit is tested in a fresh temporary folder (its name has a blank): the
sources and the real outputs of qxl that cases.py makes there, then the
editor's own check script, which writes its failures to a file.
"""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing is written into the source tree
sys.path.insert(0, HERE)
import cases  # noqa: E402

EDITOR_TIMEOUT = 90
NPM_SETUP = "npm ci --no-audit --no-fund"


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr)
    sys.exit(1)


def program(name, package):
    path = shutil.which(name)
    if path is None:
        fail(f"{name} not found: the test needs the real editor "
             f"(Debian package {package})")
    return path


def vim_command(source_dir, work, env):
    env["QXL_VIM_KIT"] = os.path.join(source_dir, "editors", "vim")
    return [program("vim", "vim-nox"), "-Nu", "NONE", "-i", "NONE", "-n",
            "-es", "-S", os.path.join(HERE, "vim", "check.vim")]


def emacs_command(source_dir, work, env):
    # The kit is byte-compiled in the work folder, never beside its source.
    kit = os.path.join(work, "emacs kit")
    os.makedirs(kit)
    shutil.copy(os.path.join(source_dir, "editors", "emacs", "qxl-mode.el"),
                kit)
    env["QXL_EMACS_KIT"] = kit
    return [program("emacs", "emacs-nox"), "--batch", "-Q",
            "-l", os.path.join(HERE, "emacs", "check.el")]


def vscode_command(source_dir, work, env):
    folder = os.path.join(HERE, "vscode")
    for module in ("vscode-textmate", "vscode-oniguruma"):
        if not os.path.isdir(os.path.join(folder, "node_modules", module)):
            fail(f"{module} is not installed in {folder}/node_modules: "
                 f"run '{NPM_SETUP}' in that folder")
    env["QXL_VSCODE_KIT"] = os.path.join(source_dir, "editors", "vscode")
    return [program("node", "nodejs"), os.path.join(folder, "check.js")]


COMMANDS = {"vim": vim_command, "emacs": emacs_command,
            "vscode": vscode_command}


def run_checks(label, command, work, env, result):
    """Runs an editor's check script and reports its results: the script
    writes one line per failed check to `result`, then "checked N"."""
    try:
        done = subprocess.run(command, cwd=work, env=env,
                              stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT,
                              timeout=EDITOR_TIMEOUT)
    except subprocess.TimeoutExpired:
        fail(f"{label} did not finish in {EDITOR_TIMEOUT} s")
    output = done.stdout.decode("utf-8", "replace").strip()
    try:
        with open(result, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError:
        lines = []
    if not lines or not lines[-1].startswith("checked "):
        fail(f"{label} exited with status {done.returncode} before "
             f"its checks ended:\n{output}")
    failures, count = lines[:-1], lines[-1].split()[-1]
    for line in failures:
        print(f"FAIL: {line}")
    if failures or done.returncode != 0:
        if output:
            print(output)
        print(f"{label}: {len(failures)} of {count} checks "
              f"failed (exit status {done.returncode})")
        return 1
    print(f"{label}: {count} checks, all passed")
    return 0


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in COMMANDS:
        print(__doc__, file=sys.stderr)
        return 2
    editor, qxl, source_dir = sys.argv[1:]
    qxl = os.path.abspath(qxl)
    source_dir = os.path.abspath(source_dir)

    with tempfile.TemporaryDirectory(prefix="qxl editors ") as work:
        try:
            case_file = cases.prepare(qxl, source_dir, work)
        except cases.SetupError as e:
            fail(str(e))
        home = os.path.join(work, "home")
        os.makedirs(home)
        result = os.path.join(work, "result.txt")
        env = dict(os.environ, HOME=home, QXL_TEST_CASES=case_file,
                   QXL_TEST_RESULT=result,
                   PATH=os.path.dirname(qxl) + os.pathsep
                   + os.environ.get("PATH", ""))
        for variable in ("QXL", "QLTPATH", "EMACSLOADPATH", "VIMINIT",
                         "NODE_OPTIONS"):
            env.pop(variable, None)
        command = COMMANDS[editor](source_dir, work, env)
        return run_checks(editor, command, work, env, result)


if __name__ == "__main__":
    sys.exit(main())
