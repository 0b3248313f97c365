#!/usr/bin/env python3
"""Time qxl on generated sources and compare it with `tcc -c`.

Called by bench/run.sh, which installs what is missing and builds qxl.
Standard library only.  For each size it generates two sources with
bench/generate.py: the full QXL variant and the variant in the part of the
language that C shares, checks that qxl compiles both without a message
(and that tcc, and the system C compiler `cc` when present, accept the
second), then times, in
interleaved rounds so that both compilers meet the same machine load:

  - qxl on the full source,
  - qxl on the common source,
  - tcc -c on the common source.

Wall time is measured around each process; user and system time and the
peak resident size come from wait4().  Peak memory is also taken once per
size with /usr/bin/time -f %M, the figure reported.  A batch of many small
files gives the per-file cost, where process start-up dominates.

With --floor, the bare tokenizer (bench/floor.cpp) is timed in the same
rounds on the common source: the least a front end does to that text.  With
valgrind, the instructions of qxl on one C-subset source are split by stage
(bench/stages.py, from a qxl with debug information, --prof-qxl) and the
front end's share is set against the floor's own count on the same file.
"""

import argparse
import datetime
import os
import shutil
import re
import statistics
import subprocess
import sys
import time

import stages

HERE = os.path.dirname(os.path.abspath(__file__))


def spawn_wait(argv, cwd):
    """Run argv with its output discarded; return (status, wall seconds,
    cpu seconds, max rss KiB)."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        actions = [(os.POSIX_SPAWN_DUP2, devnull, 1),
                   (os.POSIX_SPAWN_DUP2, devnull, 2)]
        old = os.getcwd()
        os.chdir(cwd)
        try:
            t0 = time.perf_counter()
            pid = os.posix_spawn(argv[0], argv, os.environ,
                                 file_actions=actions)
            _, status, ru = os.wait4(pid, 0)
            t1 = time.perf_counter()
        finally:
            os.chdir(old)
    finally:
        os.close(devnull)
    code = os.waitstatus_to_exitcode(status)
    return code, t1 - t0, ru.ru_utime + ru.ru_stime, ru.ru_maxrss


def check_quiet(argv, cwd, what):
    """Run argv; it must exit 0 and print nothing."""
    p = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT)
    text = p.stdout.decode("utf-8", "replace")
    if p.returncode != 0 or text.strip():
        sys.stderr.write("bench: %s failed (status %d):\n%s\n"
                         % (what, p.returncode, text[:3000]))
        sys.exit(1)


def peak_kib(argv, cwd, work):
    """Peak resident size in KiB, as /usr/bin/time -f %M reports it."""
    out = os.path.join(work, "time.out")
    p = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", out] + argv,
                       cwd=cwd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    if p.returncode != 0:
        sys.stderr.write("bench: %s failed under /usr/bin/time\n"
                         % " ".join(argv))
        sys.exit(1)
    with open(out) as fh:
        return int(fh.read().split()[-1])


def generate(lines, seed, common, path, batch=0):
    """Run generate.py; return the figures it reports for the (last) file:
    functions, distinct strings, string pool bytes."""
    argv = [sys.executable, os.path.join(HERE, "generate.py"),
            "--lines", str(lines), "--seed", str(seed), "-o", path]
    if common:
        argv.append("--common")
    if batch:
        argv += ["--batch", str(batch)]
    p = subprocess.run(argv, stderr=subprocess.PIPE, check=True)
    last = p.stderr.decode().strip().split("\n")[-1]
    m = re.search(r"(\d+) functions.* (\d+) distinct strings \((\d+) pool",
                  last)
    return tuple(int(x) for x in m.groups()) if m else (0, 0, 0)


def fmt_time(s):
    if s < 1:
        return "%.1f ms" % (s * 1000)
    return "%.2f s" % s


def fmt_rate(r):
    if r >= 1e6:
        return "%.2f M" % (r / 1e6)
    return "%.0f k" % (r / 1e3)


def fmt_mib(kib):
    return "%.1f MiB" % (kib / 1024.0)


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "unknown"
    try:
        with open("/proc/meminfo") as fh:
            for line in fh:
                if line.startswith("MemTotal:"):
                    mem = "%.1f GiB" % (int(line.split()[1]) / 1048576.0)
                    break
    except OSError:
        pass
    return model, os.cpu_count(), mem


def loadavg():
    try:
        with open("/proc/loadavg") as fh:
            return " ".join(fh.read().split()[:3])
    except OSError:
        return "unknown"


def commit(repo):
    try:
        h = subprocess.run(["git", "-C", repo, "rev-parse", "--short", "HEAD"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           check=True).stdout.decode().strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    try:
        st = subprocess.run(["git", "--no-optional-locks", "-C", repo,
                             "status", "--porcelain", "--untracked-files=no"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            check=True).stdout.decode()
        # The results file itself does not count: every run rewrites it.
        changed = [l for l in st.splitlines()
                   if l.strip() and not l.endswith("bench/RESULTS.md")]
        if changed:
            h += " (with uncommitted changes in the work tree)"
    except (OSError, subprocess.CalledProcessError):
        pass
    return h


def tool_version(argv):
    try:
        p = subprocess.run(argv, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        return p.stdout.decode().strip().split("\n")[0]
    except OSError:
        return "unknown"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--qxl", required=True)
    ap.add_argument("--tcc", default="/usr/bin/tcc")
    ap.add_argument("--work", required=True)
    ap.add_argument("--repo", required=True)
    ap.add_argument("--results", required=True)
    ap.add_argument("--sizes", default="10000,100000,1000000")
    ap.add_argument("--runs", default="21,11,7")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--batch", type=int, default=300)
    ap.add_argument("--batch-lines", type=int, default=2000)
    ap.add_argument("--batch-runs", type=int, default=7)
    ap.add_argument("--package-qxl", default="",
                    help="the qxl of the Debian package, unpacked: its "
                    "start-up is compared with --qxl's")
    ap.add_argument("--startup-runs", type=int, default=201)
    ap.add_argument("--floor", default="",
                    help="the bare tokenizer built from bench/floor.cpp")
    ap.add_argument("--prof-qxl", default="",
                    help="a qxl with debug information, whose instructions "
                    "are split by stage (callgrind)")
    ap.add_argument("--valgrind", default="")
    ap.add_argument("--split-lines", type=int, default=100000,
                    help="the size whose C-subset source is split by stage "
                    "(the smallest size when it is not among the sizes)")
    a = ap.parse_args()

    qxl = os.path.abspath(a.qxl)
    tcc = a.tcc
    work = os.path.abspath(a.work)
    sizes = [int(x) for x in a.sizes.split(",")]
    runs = [int(x) for x in a.runs.split(",")]
    runs += [runs[-1]] * (len(sizes) - len(runs))
    cc = shutil.which("cc")
    load_start = loadavg()
    started = time.time()
    try:
        if float(load_start.split()[0]) > (os.cpu_count() or 1):
            print("bench: note: the machine is busy (load average %s); wall "
                  "times will be inflated, CPU times less so" % load_start,
                  flush=True)
    except ValueError:
        pass

    # Sources are named relative to the directory the compilers run in,
    # as a user would type them (qxl keeps the file name with every
    # declaration, so a long path costs memory; see abs_peak below).
    def qxl_argv(src, absolute=False):
        name = src if absolute else os.path.basename(src)
        return [qxl, "-n", "-q", "-o", os.path.splitext(name)[0] + ".b", name]

    def tcc_argv(csrc):
        name = os.path.basename(csrc)
        return [tcc, "-c", "-o", os.path.splitext(name)[0] + ".o", name]

    floor = os.path.abspath(a.floor) if a.floor else ""

    def floor_argv(csrc):
        return [floor, os.path.basename(csrc)]

    def floor_check(csrc, cwd):
        """Runs the floor once; it must succeed; returns its checksum line."""
        p = subprocess.run(floor_argv(csrc), cwd=cwd, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
        text = p.stdout.decode("utf-8", "replace").strip()
        if p.returncode != 0 or not text.startswith("tokens "):
            sys.stderr.write("bench: the floor failed on %s (status %d):\n%s\n"
                             % (csrc, p.returncode, text[:3000]))
            sys.exit(1)
        return text

    rows = []
    for size, nruns in zip(sizes, runs):
        d = os.path.join(work, "s%d" % size)
        os.makedirs(d, exist_ok=True)
        full = os.path.join(d, "full.q")
        comm = os.path.join(d, "common.q")
        csrc = os.path.join(d, "common.c")
        print("bench: %d lines: generating and checking" % size, flush=True)
        stats = generate(size, a.seed, False, full)
        generate(size, a.seed, True, comm)
        # The same text under a C name (the include file is shared).
        with open(comm) as fi, open(csrc, "w") as fo:
            fo.write(fi.read())
        check_quiet(qxl_argv(full), d, "qxl on the %d-line source" % size)
        check_quiet(qxl_argv(comm), d,
                    "qxl on the %d-line common source" % size)
        check_quiet(tcc_argv(csrc), d, "tcc -c on the %d-line source" % size)
        if cc:
            check_quiet([cc, "-fsyntax-only", csrc], d,
                        "cc -fsyntax-only on the %d-line source" % size)
        row = {"lines": size, "runs": nruns, "dir": d, "full": full,
               "comm": comm, "csrc": csrc,
               "jobs": [("qf", qxl_argv(full)), ("qc", qxl_argv(comm)),
                        ("tc", tcc_argv(csrc))],
               "res": {"qf": [], "qc": [], "tc": []},
               "bytes": os.path.getsize(full)}
        if floor:
            row["floor_out"] = floor_check(csrc, d)
            row["jobs"].append(("fl", floor_argv(csrc)))
            row["res"]["fl"] = []
        row["funcs"], row["strings"], row["pool"] = stats
        rows.append(row)

    # Timing.  The sizes are interleaved too: every round runs the sizes
    # whose turn it is (the rounds of a size spread evenly over the run), so
    # that a change in the machine's load touches every size alike.  Round
    # 0 only warms the page cache.
    total = max(runs)
    print("bench: timing, %d rounds (%s)" % (total, ", ".join(
        "%d for %d lines" % (n, s) for s, n in zip(sizes, runs))), flush=True)
    for row in rows:
        n = row["runs"]
        row["rounds"] = set(1 + (i * total) // n for i in range(n))
    for r in range(total + 1):
        for row in rows:
            if r != 0 and r not in row["rounds"]:
                continue
            jobs = row["jobs"]
            k = r % len(jobs)
            for key, argv in jobs[k:] + jobs[:k]:
                code, wall, cpu, rss = spawn_wait(argv, row["dir"])
                if code != 0:
                    sys.stderr.write("bench: %s failed\n" % " ".join(argv))
                    sys.exit(1)
                if r > 0:
                    row["res"][key].append((wall, cpu, rss))
    for row in rows:
        d = row["dir"]
        for key, vals in row["res"].items():
            row[key + "_wall"] = statistics.median(x[0] for x in vals)
            row[key + "_cpu"] = statistics.median(x[1] for x in vals)
        argv = dict(row["jobs"])
        row["qf_peak"] = peak_kib(argv["qf"], d, work)
        row["qc_peak"] = peak_kib(argv["qc"], d, work)
        row["tc_peak"] = peak_kib(argv["tc"], d, work)
        row["abs_path"] = row["full"]
        row["abs_peak"] = peak_kib(qxl_argv(row["full"], True), d, work)
        print("bench: %d lines: qxl %s (C subset %s), tcc -c %s, peak %s"
              % (row["lines"], fmt_time(row["qf_wall"]),
                 fmt_time(row["qc_wall"]), fmt_time(row["tc_wall"]),
                 fmt_mib(row["qf_peak"])), flush=True)

    # Batch of small files: start-up dominates.
    batch = None
    if a.batch > 0:
        d = os.path.join(work, "batch")
        os.makedirs(d, exist_ok=True)
        print("bench: batch of %d files of %d lines: generating"
              % (a.batch, a.batch_lines), flush=True)
        generate(a.batch_lines, 1000, False, os.path.join(d, "f.q"), a.batch)
        generate(a.batch_lines, 5000, True, os.path.join(d, "c.q"), a.batch)
        fulls = [os.path.join(d, "f_%03d.q" % (i + 1)) for i in range(a.batch)]
        comms = [os.path.join(d, "c_%03d.q" % (i + 1)) for i in range(a.batch)]
        cs = []
        for q in comms:
            c = os.path.splitext(q)[0] + ".c"
            with open(q) as fi, open(c, "w") as fo:
                fo.write(fi.read())
            cs.append(c)
        for f in fulls[:5] + comms[:5]:
            check_quiet(qxl_argv(f), d, "qxl on %s" % os.path.basename(f))
        for c in cs[:5]:
            check_quiet(tcc_argv(c), d, "tcc -c on %s" % os.path.basename(c))
        empty = os.path.join(d, "empty.q")
        with open(empty, "w") as fh:
            fh.write("int x;\n")
        empty_c = os.path.join(d, "empty.c")
        with open(empty_c, "w") as fh:
            fh.write("int x;\n")
        print("bench: batch: timing, %d rounds" % a.batch_runs, flush=True)
        tot = {"qf": [], "qc": [], "tc": []}
        tot_cpu = {"qf": [], "qc": [], "tc": []}
        kinds = [("qf", fulls, qxl_argv), ("qc", comms, qxl_argv),
                 ("tc", cs, tcc_argv)]
        for r in range(a.batch_runs + 1):
            # Each round starts with another of the three batches, so that
            # no batch always runs first or last.
            for key, files, mk in kinds[r % 3:] + kinds[:r % 3]:
                t0 = time.perf_counter()
                cpu = 0.0
                for f in files:
                    code, _, fcpu, _ = spawn_wait(mk(f), d)
                    if code != 0:
                        sys.stderr.write("bench: %s failed\n" % f)
                        sys.exit(1)
                    cpu += fcpu
                if r > 0:
                    tot[key].append(time.perf_counter() - t0)
                    tot_cpu[key].append(cpu)
        start = {"q": [], "t": []}
        for r in range(31):
            start["q"].append(spawn_wait(qxl_argv(empty), d)[1])
            start["t"].append(spawn_wait(tcc_argv(empty_c), d)[1])
        batch = {k: statistics.median(v) / a.batch for k, v in tot.items()}
        for k, v in tot_cpu.items():
            batch[k + "_cpu"] = statistics.median(v) / a.batch
        batch["q_start"] = statistics.median(start["q"])
        batch["t_start"] = statistics.median(start["t"])

    # Instructions by stage (callgrind), on one C-subset source: qxl with
    # debug information split by stage, the Release qxl timed above, the
    # floor and tcc as whole processes.  The options are those of the
    # compiler's own instruction-count measurements (no debug information
    # in the output, no id variable).
    split = None
    valgrind = a.valgrind or shutil.which("valgrind") or ""
    if valgrind and (a.prof_qxl or floor):
        srow = next((r for r in rows if r["lines"] == a.split_lines),
                    min(rows, key=lambda r: r["lines"]))
        d = srow["dir"]
        print("bench: %d lines: counting instructions with callgrind"
              % srow["lines"], flush=True)

        def callgrind(argv, name, rules):
            out = os.path.join(work, name + ".cg")
            p = subprocess.run([valgrind, "--tool=callgrind",
                                "--callgrind-out-file=" + out] + argv,
                               cwd=d, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
            if p.returncode != 0:
                sys.stderr.write("bench: callgrind of %s failed:\n%s\n"
                                 % (" ".join(argv),
                                    p.stderr.decode("utf-8", "replace")[-3000:]))
                sys.exit(1)
            return stages.split(out, a.repo, rules)

        comm_name = os.path.basename(srow["comm"])
        qopts = ["-n", "-q", "-s", "-b", "-o", "split.b", comm_name]
        split = {"lines": srow["lines"], "command": " ".join(
            ["qxl"] + qopts[:-3] + ["-o", "out.b", comm_name])}
        split["release"] = callgrind([qxl] + qopts, "release", [])
        if a.prof_qxl:
            split["qxl"] = callgrind([os.path.abspath(a.prof_qxl)] + qopts,
                                     "qxl", stages.QXL_STAGES)
            if not any(split["qxl"].stages.values()):
                print("bench: note: %s has no debug information; no split "
                      "by stage" % a.prof_qxl, flush=True)
                del split["qxl"]
        if floor:
            split["floor"] = callgrind(
                floor_argv(srow["csrc"]), "floor",
                [("floor", "bench/floor.", "the floor's own code")])
        split["tcc"] = callgrind(tcc_argv(srow["csrc"]), "tcc", [])
    elif not valgrind:
        print("bench: note: no valgrind; no instruction counts", flush=True)

    # Start-up of the packaged compiler against this build's: a one-line
    # compile, the two programs alternating, each run in a fresh process.
    package = None
    if a.package_qxl:
        d = os.path.join(work, "startup")
        os.makedirs(d, exist_ok=True)
        one = os.path.join(d, "one.q")
        with open(one, "w") as fh:
            fh.write("int x;\n")
        pkg = os.path.abspath(a.package_qxl)
        argvs = {"static": [qxl, "-n", "-q", "-o", "one.b", "one.q"],
                 "package": [pkg, "-n", "-q", "-o", "one.b", "one.q"]}
        for key in argvs:
            check_quiet(argvs[key], d, "%s qxl on a one-line file" % key)
        print("bench: start-up of the packaged qxl, %d rounds"
              % a.startup_runs, flush=True)
        res = {"static": [], "package": []}
        for r in range(a.startup_runs + 1):
            order = ["static", "package"] if r % 2 else ["package", "static"]
            for key in order:
                code, wall, cpu, _ = spawn_wait(argvs[key], d)
                if code != 0:
                    sys.stderr.write("bench: %s failed\n" % argvs[key][0])
                    sys.exit(1)
                if r > 0:
                    res[key].append((wall, cpu))
        package = {}
        for key, vals in res.items():
            package[key + "_wall"] = statistics.median(x[0] for x in vals)
            package[key + "_cpu"] = statistics.median(x[1] for x in vals)
        package["size"] = os.path.getsize(os.path.realpath(pkg))
        package["static_size"] = os.path.getsize(qxl)

    load_end = loadavg()
    elapsed = time.time() - started

    # ---- report ---------------------------------------------------------
    out = []
    out.append("| Lines | qxl wall | qxl CPU | lines/s (wall) | qxl peak "
               "| qxl on C subset | tcc -c on C subset | qxl/tcc wall "
               "| qxl/tcc CPU | tcc peak |")
    out.append("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        out.append("| %s | %s | %s | %s | %s | %s | %s | %.2f | %.2f | %s |" % (
            "{:,}".format(r["lines"]), fmt_time(r["qf_wall"]),
            fmt_time(r["qf_cpu"]), fmt_rate(r["lines"] / r["qf_wall"]),
            fmt_mib(r["qf_peak"]), fmt_time(r["qc_wall"]),
            fmt_time(r["tc_wall"]), r["qc_wall"] / r["tc_wall"],
            r["qc_cpu"] / r["tc_cpu"], fmt_mib(r["tc_peak"])))
    table = "\n".join(out)

    growth = []
    for prev, cur in zip(rows, rows[1:]):
        f = cur["lines"] / prev["lines"]
        growth.append("| %s -> %s lines (x%g) | %.2f | %.2f | %.2f | %.2f |"
                      % ("{:,}".format(prev["lines"]),
                         "{:,}".format(cur["lines"]), f,
                         cur["qf_wall"] / prev["qf_wall"],
                         cur["qf_cpu"] / prev["qf_cpu"],
                         cur["qc_wall"] / prev["qc_wall"],
                         cur["tc_wall"] / prev["tc_wall"]))
    gtable = "\n".join(["| Step | qxl, full (wall) | qxl, full (CPU) "
                        "| qxl, C subset (wall) | tcc -c (wall) |",
                        "|---|---:|---:|---:|---:|"] + growth)

    btable = ""
    if batch:
        btable = "\n".join([
            "| Per file | qxl, full QXL | qxl, C subset | tcc -c, C subset |",
            "|---|---:|---:|---:|",
            "| %d files of %d lines (median of %d batches) | %s | %s | %s |"
            % (a.batch, a.batch_lines, a.batch_runs, fmt_time(batch["qf"]),
               fmt_time(batch["qc"]), fmt_time(batch["tc"])),
            "| the same, CPU (user and system time of the processes) "
            "| %s | %s | %s |"
            % (fmt_time(batch["qf_cpu"]), fmt_time(batch["qc_cpu"]),
               fmt_time(batch["tc_cpu"])),
            "| a one-line file (start-up alone, median of 31) | %s | | %s |"
            % (fmt_time(batch["q_start"]), fmt_time(batch["t_start"])),
        ])

    ftable = ""
    if floor:
        ftable = "\n".join([
            "| Lines | floor wall | floor CPU | qxl CPU, C subset "
            "| tcc -c CPU | qxl / floor (CPU) | tcc / floor (CPU) |",
            "|---:|---:|---:|---:|---:|---:|---:|"] + [
            "| %s | %s | %s | %s | %s | %.2f | %.2f |" % (
                "{:,}".format(r["lines"]), fmt_time(r["fl_wall"]),
                fmt_time(r["fl_cpu"]), fmt_time(r["qc_cpu"]),
                fmt_time(r["tc_cpu"]), r["qc_cpu"] / r["fl_cpu"],
                r["tc_cpu"] / r["fl_cpu"]) for r in rows])

    stable = ""
    ctable_ir = ""
    front_ratio = None
    if split:
        def count(n):
            return "{:,}".format(n)
        if "qxl" in split:
            q = split["qxl"]
            lines = ["| Stage | Instructions | Share | Largest functions "
                     "(instructions) |", "|---|---:|---:|---|"]
            for key, _, label in stages.QXL_STAGES:
                tops = ", ".join("%s (%s)" % (name, count(n)) for name, n
                                 in stages.top_functions(q, key))
                lines.append("| %s | %s | %.1f%% | %s |" % (
                    label, count(q.stages[key]),
                    100.0 * q.stages[key] / q.total, tops))
            lines.append("| the rest: loading, start-up and exit of the "
                         "process | %s | %.1f%% | |"
                         % (count(q.rest()), 100.0 * q.rest() / q.total))
            lines.append("| **whole process** | **%s** | 100%% | |"
                         % count(q.total))
            stable = "\n".join(lines)
        rows_ir = []
        if "qxl" in split and "floor" in split:
            fl_own = split["floor"].stages["floor"]
            front_ratio = split["qxl"].stages["front"] / fl_own
            rows_ir.append("| qxl's front end (source/) | %s |"
                           % count(split["qxl"].stages["front"]))
            rows_ir.append("| the floor's own code (its main and what it "
                           "calls) | %s |" % count(fl_own))
            rows_ir.append("| **front end / floor** | **%.2f** |"
                           % front_ratio)
        rows_ir.append("| qxl, whole process (the Release build timed "
                       "above) | %s |" % count(split["release"].total))
        if "qxl" in split:
            rows_ir.append("| qxl, whole process (the same with debug "
                           "information, split above) | %s |"
                           % count(split["qxl"].total))
        if "floor" in split:
            rows_ir.append("| the floor, whole process | %s |"
                           % count(split["floor"].total))
        rows_ir.append("| tcc -c, whole process | %s |"
                       % count(split["tcc"].total))
        ctable_ir = "\n".join(["| %s-line C-subset source | Instructions |"
                                % "{:,}".format(split["lines"]),
                                "|---|---:|"] + rows_ir)

    # Targets.
    checks = []
    by = {r["lines"]: r for r in rows}
    if 100000 in by and 1000000 in by:
        g = by[1000000]["qf_wall"] / by[100000]["qf_wall"]
        gcpu = by[1000000]["qf_cpu"] / by[100000]["qf_cpu"]
        checks.append(("Growth from 100k to 1M lines at most 10.5 x "
                       "(full source, CPU)", "x%.2f (wall: x%.2f)"
                       % (gcpu, g), gcpu <= 10.5))
    worst = max(r["qc_wall"] / r["tc_wall"] for r in rows)
    worst_cpu = max(r["qc_cpu"] / r["tc_cpu"] for r in rows)
    checks.append(("qxl at most 0.5 x the CPU time of tcc -c at every size "
                   "(C subset)", "worst ratio %.2f (wall: %.2f)"
                   % (worst_cpu, worst), worst_cpu <= 0.5))
    if batch:
        ratio = batch["qc"] / batch["tc"]
        ratio_cpu = batch["qc_cpu"] / batch["tc_cpu"]
        checks.append(("qxl at most 0.7 x the CPU time of tcc -c per file in "
                       "the batch of small files (C subset)",
                       "ratio %.2f (wall: %.2f)" % (ratio_cpu, ratio),
                       ratio_cpu <= 0.7))
    if front_ratio is not None:
        checks.append(("Front end (reading, lexing, preprocessing, look-up) "
                       "within 1.5 x the bare-tokenizer floor (instructions, "
                       "%s-line C subset)" % "{:,}".format(split["lines"]),
                       "x%.2f" % front_ratio, front_ratio <= 1.5))
    if package:
        extra = package["package_wall"] - package["static_wall"]
        checks.append(("Start-up of the packaged qxl within 1.5 ms of the "
                       "static build (one-line compile, wall)",
                       "%+.2f ms (%s against %s)" % (
                           extra * 1e3, fmt_time(package["package_wall"]),
                           fmt_time(package["static_wall"])), extra <= 1.5e-3))
        checks.append(("Start-up of the packaged qxl at most 1.5 ms "
                       "(one-line compile, wall)",
                       fmt_time(package["package_wall"]),
                       package["package_wall"] <= 1.5e-3))
    if 1000000 in by:
        pk = max(by[1000000]["qf_peak"], by[1000000]["qc_peak"])
        checks.append(("Peak memory at most 32 MiB (32,768 KiB) at 1M lines, "
                       "larger of the two sources",
                       "%s (%s KiB, %.1f MB)" % (fmt_mib(pk),
                                                 "{:,}".format(pk),
                                                 pk * 1024 / 1e6),
                       pk <= 32 * 1024))
    ctable = "\n".join(["| Target | Measured | Met |", "|---|---|---|"] + [
        "| %s | %s | %s |" % (t, m, "yes" if ok else "**no**")
        for t, m, ok in checks])

    model, cores, mem = machine()
    now = datetime.datetime.now().astimezone()
    md = []
    md.append("# qxl benchmark results")
    md.append("")
    md.append("Produced by `make bench` (bench/run.sh); do not edit by hand.")
    md.append("")
    md.append("- Date: %s" % now.strftime("%Y-%m-%d %H:%M %Z"))
    md.append("- qxl commit: %s" % commit(a.repo))
    md.append("- Machine: %s, %d cores, %s memory, %s" % (
        model, cores, mem, "kernel " + os.uname().release))
    md.append("- Load average (1, 5, 15 min) at start: %s; at end: %s"
              % (load_start, load_end))
    md.append("- C compiler compared: %s" % tool_version([tcc, "-v"]))
    md.append("- Whole run: %.0f s" % elapsed)
    md.append("")
    md.append("## Sources")
    md.append("")
    md.append("bench/generate.py (seed %d) writes, for each size, a full QXL "
              "source (commands, key tables, colors, buffer and window "
              "variables, spots, primitives, macros, an include file) and a "
              "source in the part of QXL that C shares, compiled both by "
              "qxl and by `tcc -c`.  Lines count the main file and its "
              "include file together." % a.seed)
    md.append("")
    md.append("| Lines | Functions and commands | Distinct strings "
              "| String pool | Size of the full source |")
    md.append("|---:|---:|---:|---:|---:|")
    for r in rows:
        md.append("| %s | %s | %s | %.2f MB | %.1f MB |" % (
            "{:,}".format(r["lines"]), "{:,}".format(r["funcs"]),
            "{:,}".format(r["strings"]), r["pool"] / 1e6, r["bytes"] / 1e6))
    md.append("")
    md.append("## Compile time and memory")
    md.append("")
    md.append("qxl runs as `qxl -n -q -o out.b file.q` (debug information "
              "on, the default), tcc as `tcc -c -o out.o file.c`.  Times are "
              "medians of %s rounds (after one warm-up round), interleaved: each "
              "round runs qxl and tcc on every size whose turn it is, so a "
              "change of the machine's load touches all of them alike; "
              "CPU is user plus system time; peak is the maximum resident "
              "size reported by `/usr/bin/time -f %%M`.  \"qxl wall\", "
              "\"qxl CPU\", \"lines/s\" and \"qxl peak\" are for the full QXL "
              "source; the ratio columns compare qxl and tcc on the same "
              "C-subset source." % ", ".join(
                  "%d (%s lines)" % (r["runs"], "{:,}".format(r["lines"]))
                  for r in rows))
    md.append("")
    md.append(table)
    md.append("")
    md.append("Growth (ratio of the median times of consecutive sizes; "
              "linear growth is the size factor):")
    md.append("")
    md.append(gtable)
    md.append("")
    if btable:
        md.append("## Many small files")
        md.append("")
        md.append("Each file compiled by its own process, one after "
                  "another; the cost per file is the batch's wall time "
                  "divided by the number of files.")
        md.append("")
        md.append(btable)
        md.append("")
    if ftable:
        md.append("## The bare-tokenizer floor")
        md.append("")
        md.append("bench/floor.cpp, built with -O2, does the least a front "
                  "end does to a source: it reads the file whole, splits it "
                  "into names (hashed in the scan loop and interned in an "
                  "open-addressing table), numbers, operators, string and "
                  "character constants with their escapes decoded, skips "
                  "comments, counts lines and follows `#include \"x\"` into "
                  "the include file; other directives are scanned as plain "
                  "tokens (no macro is expanded, no condition evaluated).  "
                  "It runs on the C-subset sources in the same interleaved "
                  "rounds as qxl and tcc.  Its checksum on the %s-line "
                  "source: `%s`." % ("{:,}".format(rows[-1]["lines"]),
                                     rows[-1]["floor_out"]))
        md.append("")
        md.append(ftable)
        md.append("")
    if ctable_ir:
        md.append("## Instructions by stage")
        md.append("")
        md.append("Counted by callgrind on the %s-line C-subset source, qxl "
                  "as `%s` (the options of the compiler's own "
                  "instruction-count measurements).  The split is made on a "
                  "Release qxl built with -g as well (the same code, with "
                  "file names); each function counts for the folder of the "
                  "file it was compiled from, with the code inlined into it "
                  "and the library functions it calls (bench/stages.py), so "
                  "in a one-pass compiler a stage is the work done in its "
                  "own functions, not everything below them on the stack."
                  % ("{:,}".format(split["lines"]), split["command"]))
        md.append("")
        if stable:
            md.append(stable)
            md.append("")
            if split["qxl"].callbacks:
                md.append("Calls from library code back into qxl's (counted "
                          "twice above): %s instructions."
                          % "{:,}".format(split["qxl"].callbacks))
                md.append("")
        md.append("The front end against the floor, on the same file (the "
                  "floor's own code is its main and everything it calls, "
                  "without the process's loading and start-up, as the front "
                  "end's count is):")
        md.append("")
        md.append(ctable_ir)
        md.append("")
    ptable = ""
    if package:
        ptable = "\n".join([
            "| One-line compile (median of %d) | wall | CPU | program size |"
            % a.startup_runs,
            "|---|---:|---:|---:|",
            "| static build (C++ runtime and Unicode library with its data "
            "linked in) | %s | %s | %.1f MB |" % (
                fmt_time(package["static_wall"]),
                fmt_time(package["static_cpu"]), package["static_size"] / 1e6),
            "| Debian package (Unicode data from the system's shared "
            "library) | %s | %s | %.1f MB |" % (
                fmt_time(package["package_wall"]),
                fmt_time(package["package_cpu"]), package["size"] / 1e6),
        ])
        md.append("## Start-up of the packaged compiler")
        md.append("")
        md.append("`make package` builds the programs with the C++ runtime "
                  "and the Unicode library's code linked in but the Unicode "
                  "data taken from the system's shared library, which all "
                  "programs map: the dynamic loader has one library with no "
                  "relocations to load.  Both programs compile `int x;` "
                  "(`qxl -n -q -o one.b one.q`), alternating.")
        md.append("")
        md.append(ptable)
        md.append("")
    md.append("## Targets")
    md.append("")
    md.append(ctable)
    md.append("")
    big = rows[-1]
    md.append("Peak memory depends on the length of the source's name: "
              "qxl keeps a copy of the file name with every declaration.  "
              "The %s-line full source named by its absolute path (%d "
              "characters) instead of `full.q` peaks at %s instead of %s."
              % ("{:,}".format(big["lines"]), len(big["abs_path"]),
                 fmt_mib(big["abs_peak"]), fmt_mib(big["qf_peak"])))
    md.append("")
    md.append("The machine is shared: wall times move with its load "
              "(see the load averages above); CPU times are steadier.")
    text = "\n".join(md) + "\n"
    with open(a.results, "w") as fh:
        fh.write(text)

    print()
    print(table)
    print()
    print(gtable)
    if btable:
        print()
        print(btable)
    for t in (ftable, stable, ctable_ir):
        if t:
            print()
            print(t)
    if ptable:
        print()
        print(ptable)
    print()
    print(ctable)
    print()
    print("bench: results written to %s (%.0f s)" % (a.results, elapsed))


if __name__ == "__main__":
    main()
