#!/usr/bin/env python3
"""Benchmark of qxl-lsp: how soon diagnostics follow a change of a
10,000-line document, how fast hover and completion answer when the
analysis is current, and whether memory stays flat across 10,000 edits.

Usage: lsp.py --server PATH --repo DIR [--results FILE]

With --results, a section "Language server" is appended to that file
(bench/run.sh writes the rest of it first)."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--repo", required=True)
    ap.add_argument("--results")
    ap.add_argument("--lines", type=int, default=10000)
    ap.add_argument("--edits", type=int, default=10000)
    ap.add_argument("--rounds", type=int, default=31)
    args = ap.parse_args()
    args.server = os.path.abspath(args.server)
    args.repo = os.path.abspath(args.repo)

    sys.path.insert(0, os.path.join(args.repo, "tests", "lsp"))
    from lspclient import Client

    work = tempfile.mkdtemp(prefix="qxl-lsp-bench.")
    source = os.path.join(work, "doc.q")
    subprocess.run([sys.executable, os.path.join(here, "generate.py"),
                    "--lines", str(args.lines), "--seed", "1", "-q",
                    "-o", source], check=True)
    text = open(source, encoding="latin-1").read()
    uri = "file://" + source
    lines = text.split("\n")

    c = Client(args.server, cwd=work)
    c.request("initialize", {"processId": os.getpid(), "rootUri": None,
                             "capabilities": {}})
    c.notify("initialized", {})
    c.notify("textDocument/didOpen", {"textDocument": {
        "uri": uri, "languageId": "qxl", "version": 1, "text": text}})
    c.wait_notification("textDocument/publishDiagnostics", 60)

    # Diagnostics after a change: a comment line added at the top and
    # removed again, sent as an editor sends typing (a range and its new
    # text), and then as a whole new text each time.
    version = 1

    def timed_changes(change_of):
        nonlocal version
        delays = []
        for i in range(args.rounds):
            version += 1
            start = time.perf_counter()
            c.notify("textDocument/didChange", {
                "textDocument": {"uri": uri, "version": version},
                "contentChanges": [change_of(i)]})
            c.wait_notification("textDocument/publishDiagnostics", 60)
            delays.append((time.perf_counter() - start) * 1000)
        return delays

    def ranged(i):
        start = {"line": 0, "character": 0}
        if i % 2 == 0:
            return {"range": {"start": start, "end": start},
                    "text": "/* edit */\n"}
        return {"range": {"start": start, "end": {"line": 1, "character": 0}},
                "text": ""}

    delays = timed_changes(ranged)
    whole = timed_changes(
        lambda i: {"text": text if i % 2 else "/* edit */\n" + text})
    # Leave the document as it was opened.
    version += 1
    c.notify("textDocument/didChange", {
        "textDocument": {"uri": uri, "version": version},
        "contentChanges": [{"text": text}]})
    c.wait_notification("textDocument/publishDiagnostics", 60)

    # A use of a name somewhere in the middle, for hover and completion.
    target = None
    for n in range(len(lines) // 2, len(lines)):
        col = lines[n].find("(")
        if col > 4 and lines[n].strip().startswith(("if", "while")) is False \
                and lines[n][col - 1].isalnum():
            target = (n, col - 1)
            break
    hover, completion = [], []
    for _ in range(args.rounds):
        start = time.perf_counter()
        c.request("textDocument/hover", {"textDocument": {"uri": uri},
                  "position": {"line": target[0], "character": target[1]}})
        hover.append((time.perf_counter() - start) * 1000)
        start = time.perf_counter()
        c.request("textDocument/completion", {"textDocument": {"uri": uri},
                  "position": {"line": target[0], "character": target[1]}})
        completion.append((time.perf_counter() - start) * 1000)

    # Memory across many small edits: a character typed and deleted again.
    before = rss_kib(c.proc.pid)
    for i in range(args.edits):
        version += 1
        if i % 2 == 0:
            change = {"range": {"start": {"line": 0, "character": 0},
                                "end": {"line": 0, "character": 0}},
                      "text": " "}
        else:
            change = {"range": {"start": {"line": 0, "character": 0},
                                "end": {"line": 0, "character": 1}},
                      "text": ""}
        c.notify("textDocument/didChange", {
            "textDocument": {"uri": uri, "version": version},
            "contentChanges": [change]})
    c.request("textDocument/hover", {"textDocument": {"uri": uri},
              "position": {"line": 0, "character": 0}}, 120)
    time.sleep(1.0)
    after = rss_kib(c.proc.pid)
    c.request("shutdown")
    c.notify("exit")
    status = c.close()

    med = statistics.median
    rows = [
        ("Diagnostics after a change (%d lines), median of %d"
         % (args.lines, args.rounds), "%.1f ms" % med(delays), 30,
         med(delays) <= 30),
        ("The same with the whole text sent each time",
         "%.1f ms" % med(whole), 30, med(whole) <= 30),
        ("Hover, median of %d" % args.rounds, "%.2f ms" % med(hover), 10,
         med(hover) <= 10),
        ("Completion, median of %d" % args.rounds, "%.2f ms" % med(completion),
         10, med(completion) <= 10),
    ]
    growth = after - before
    out = ["", "## Language server", "",
           "bench/lsp.py drives qxl-lsp over its standard input and output "
           "as an editor would, on a generated %d-line document." % args.lines,
           "", "| Measure | Result | Target | Met |", "|---|---:|---:|---|"]
    for name, value, target_ms, met in rows:
        out.append("| %s | %s | %d ms | %s |" % (name, value, target_ms,
                                                "yes" if met else "no"))
    flat = growth <= max(2048, before // 10)
    out.append("| Resident memory after the first analysis, and after %d "
               "more edits | %d KiB, %d KiB | flat | %s |"
               % (args.edits, before, after, "yes" if flat else "no"))
    out.append("| Exit status after shutdown and exit | %d | 0 | %s |"
               % (status, "yes" if status == 0 else "no"))
    text_out = "\n".join(out) + "\n"
    print(text_out)
    if args.results:
        with open(args.results, "a") as f:
            f.write(text_out)


if __name__ == "__main__":
    main()
