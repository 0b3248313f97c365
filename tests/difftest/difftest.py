#!/usr/bin/env python3
"""Differential test of qxl and qxlrun against the host C compiler.

    difftest.py --qxlrun PATH [--qxl PATH] [--count N] [--seed S]
                [--cc CC] [--jobs J] [--steps N] [--keep DIR] [--verbose]

For each of N seeds from S on, generate.py writes a program in QXL and the
same program in C.  The QXL one is compiled by qxl and run by qxlrun, the C
one compiled with CC -fwrapv and run; their standard output and exit status
must agree.  The generator keeps its programs well below qxlrun's step
limit, so one that reaches it while the C program ends has failed (its
loop does not end under qxlrun); one whose C program does not end in time
is not compared but counted as skipped, and listed with its seed.  Each
disagreement keeps both programs
and both outputs in DIR/SEED/ (default: a new directory under $TMPDIR).
The last line is "N passed, M failed, K skipped"; the exit status is 1
when anything failed.
"""

import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GENERATOR = os.path.join(HERE, "generate.py")


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout)
        return p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired:
        return None, b"", b"timed out"
    except OSError as e:
        return -1, b"", ("cannot run %s: %s" % (cmd[0], e)).encode()


def check(seed, args, keep_root):
    work = tempfile.mkdtemp(prefix="difftest-%d-" % seed)
    try:
        status, _, err = run([sys.executable, GENERATOR, str(seed), work], work, 60)
        if status != 0:
            return seed, "failed", "generator: " + err.decode(errors="replace")
        # C11 for the u"..." string constants that stand for QXL's strings
        # of 16-bit characters.
        status, _, err = run([args.cc, "-std=c11", "-fwrapv", "-w", "-O1",
                              "prog.c", "-o", "prog"], work, 120)
        if status != 0:
            return seed, "failed", "C compiler: " + err.decode(errors="replace")
        qxl = ["--qxl", args.qxl] if args.qxl else []
        q_status, q_out, q_err = run([args.qxlrun] + qxl +
                                     ["--steps", str(args.steps), "prog.q"], work, 120)
        c_status, c_out, c_err = run(["./prog"], work, 60)
        if c_status is None:
            return seed, "skipped", "the C program timed out"
        # The programs are made to end far below the step limit, and the C
        # one did: a loop that does not end under qxlrun (a jump to the
        # wrong place, say) is a fault, not a program too long to run.
        stuck = q_status == 3 and b"step limit" in q_err
        if q_status == c_status and q_out == c_out:
            return seed, "passed", ""
        detail = "qxlrun status %s, C status %s" % (q_status, c_status)
        if stuck:
            detail = "qxlrun reached the step limit where the C program ended; " + detail
        if q_out != c_out:
            q_lines, c_lines = q_out.splitlines(), c_out.splitlines()
            for i in range(max(len(q_lines), len(c_lines))):
                a = q_lines[i] if i < len(q_lines) else b"(none)"
                b = c_lines[i] if i < len(c_lines) else b"(none)"
                if a != b:
                    detail += "; line %d: qxlrun %r, C %r" % (i + 1, a, b)
                    break
        tail = q_err.decode(errors="replace").strip().splitlines()[-1:]
        if tail:
            detail += "; qxlrun said: " + tail[0]
        keep = os.path.join(keep_root, str(seed))
        os.makedirs(keep, exist_ok=True)
        for name in ("prog.q", "prog.c"):
            shutil.copy(os.path.join(work, name), keep)
        with open(os.path.join(keep, "qxlrun.out"), "wb") as f:
            f.write(q_out + b"\n--- stderr\n" + q_err)
        with open(os.path.join(keep, "c.out"), "wb") as f:
            f.write(c_out)
        return seed, "failed", detail + " (kept in %s)" % keep
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qxlrun", required=True)
    parser.add_argument("--qxl", default="")
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--seed", type=int, default=1)
    # GCC rewrites a - b / c as a + b / -c even under -fwrapv, which traps
    # for b = INT_MIN, c = 1: clang is the default where it is installed.
    parser.add_argument("--cc", default=os.environ.get("CC") or
                        ("clang" if shutil.which("clang") else "cc"))
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--steps", type=int, default=20000000)
    parser.add_argument("--keep", default="")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    args.qxlrun = os.path.abspath(args.qxlrun)
    if args.qxl:
        args.qxl = os.path.abspath(args.qxl)
    keep_root = args.keep or tempfile.mkdtemp(prefix="difftest-failures-")

    counts = {"passed": 0, "failed": 0, "skipped": 0}
    skipped = []
    seeds = range(args.seed, args.seed + args.count)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for seed, result, detail in pool.map(lambda s: check(s, args, keep_root), seeds):
            counts[result] += 1
            if result == "skipped":
                skipped.append("%d (%s)" % (seed, detail))
            if result != "passed" or (args.verbose and detail):
                print("%s seed %d: %s" % (result.upper(), seed, detail), flush=True)
            elif args.verbose:
                print("PASSED seed %d" % seed, flush=True)
    if counts["failed"] == 0 and not args.keep:
        shutil.rmtree(keep_root, ignore_errors=True)
    if skipped:
        print("skipped, not compared: seeds " + ", ".join(skipped))
    print("%d passed, %d failed, %d skipped" % (
        counts["passed"], counts["failed"], counts["skipped"]))
    return 1 if counts["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
