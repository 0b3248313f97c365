#!/usr/bin/env python3
"""Tests editors/generate.py: the committed kits agree with
docs/builtin-names.json, --check finds stale kits, a rewrite touches only
the generated sections, and bad input is refused with a message.

  generated_test.py SOURCE_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

KITS = {
    "vim/syntax/qxl.vim": ('" BEGIN GENERATED', '" END GENERATED'),
    "emacs/qxl-mode.el": (";; BEGIN GENERATED", ";; END GENERATED"),
    "vscode/syntaxes/qxl.tmLanguage.json": None,
}
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}{': ' + detail if detail else ''}")


def generate(kits, *args):
    done = subprocess.run([sys.executable, os.path.join(kits, "generate.py"),
                           "--kits", kits] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=60)
    return done.returncode, done.stdout + done.stderr


def outside_generated(kits, relative):
    """The text of a kit file with its generated parts left out."""
    with open(os.path.join(kits, relative), encoding="utf-8") as f:
        text = f.read()
    markers = KITS[relative]
    if markers is None:
        grammar = json.loads(text)
        for key, entry in list(grammar["repository"].items()):
            if "generated" in entry.get("comment", ""):
                del grammar["repository"][key]
        return json.dumps(grammar, sort_keys=True)
    begin, end = (re.escape(m) for m in markers)
    return re.sub(f"^{begin}.*?^{end}", "", text, flags=re.M | re.S)


def main():
    source_dir = os.path.abspath(sys.argv[1])
    names_path = os.path.join(source_dir, "docs", "builtin-names.json")
    with open(names_path, encoding="utf-8") as f:
        names = json.load(f)

    status, output = generate(os.path.join(source_dir, "editors"), "--check",
                              "--names", names_path)
    check("committed kits agree with docs/builtin-names.json", status == 0,
          output)

    with tempfile.TemporaryDirectory(prefix="qxl generate ") as work:
        kits = os.path.join(work, "editors")
        shutil.copytree(os.path.join(source_dir, "editors"), kits)
        before = {k: outside_generated(kits, k) for k in KITS}

        # A compiler with one primitive and one directive more and one
        # variable less.
        changed = json.loads(json.dumps(names))
        new = dict(changed["primitives"][0], name="zz_new_primitive")
        changed["primitives"].append(new)
        changed["directives"].append("pragma")
        gone = changed["variables"].pop(0)["name"]
        changed_path = os.path.join(work, "changed names.json")
        with open(changed_path, "w", encoding="utf-8") as f:
            json.dump(changed, f)

        status, output = generate(kits, "--check", "--names", changed_path)
        check("--check on stale kits fails", status == 1, output)
        for relative in KITS:
            check(f"--check names {relative}", relative in output, output)

        status, output = generate(kits, "--names", changed_path)
        check("rewrite", status == 0, output)
        status, output = generate(kits, "--check", "--names", changed_path)
        check("--check after the rewrite", status == 0, output)
        for relative in KITS:
            with open(os.path.join(kits, relative), encoding="utf-8") as f:
                text = f.read()
            check(f"{relative} has the new primitive",
                  "zz_new_primitive" in text)
            check(f"{relative} has the new directive", "pragma" in text)
            check(f"{relative} lost the variable {gone}",
                  not re.search(rf"\b{gone}\b", text))
            check(f"{relative} changed only in generated parts",
                  outside_generated(kits, relative) == before[relative])

        # Bad input: a message and status 2, never a traceback.
        bad_names = {
            "not JSON": "{",
            "no lists": "{}",
            "a bad name": json.dumps(dict(names, predefined_macros=["a|b"])),
            "a Vim argument": json.dumps(
                dict(names, predefined_macros=["contained"])),
        }
        for what, text in bad_names.items():
            path = os.path.join(work, "bad.json")
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            status, output = generate(kits, "--check", "--names", path)
            check(f"names with {what}: status", status == 2, output)
            check(f"names with {what}: message",
                  output.startswith("generate.py: ") and
                  "Traceback" not in output, output)
        vim_file = os.path.join(kits, "vim", "syntax", "qxl.vim")
        with open(vim_file, encoding="utf-8") as f:
            text = f.read()
        with open(vim_file, "w", encoding="utf-8") as f:
            f.write(text.replace('" END GENERATED', '" END'))
        status, output = generate(kits, "--names", names_path)
        check("kit without its end marker: status", status == 2, output)
        check("kit without its end marker: untouched",
              open(vim_file, encoding="utf-8").read()
              == text.replace('" END GENERATED', '" END'))

    for failure in failures:
        print(f"FAIL: {failure}")
    print(f"generated: {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
