#!/usr/bin/env python3
"""Prints the benchmark table from the hyperfine JSON files and hit counts that run.sh wrote.

Usage: table.py [--cold | --cpu] WORKDIR WORKLOAD...   where each WORKLOAD is "name|kind|folder|query".
--cpu: user+system time of the warm rows.
--cold: the cold-cache rows, timed without find/grep and beside min_walker on eight threads.
"""
import glob
import json
import os
import statistics
import sys


def rounds(workdir, name):
    """Per command name: its run times, and user+system time per run, from every round file."""
    times, cpus = {}, {}
    for path in sorted(glob.glob(os.path.join(workdir, f"{name}.round*.json"))):
        with open(path) as f:
            for r in json.load(f)["results"]:
                times.setdefault(r["command"], []).extend(r["times"])
                cpus.setdefault(r["command"], []).append(r["user"] + r["system"])
    return times, cpus


def medians(workdir, name):
    """Median seconds by command name (findlark, peer, gnu, and before/limit when timed)."""
    return {c: statistics.median(t) for c, t in rounds(workdir, name)[0].items()}


def count(workdir, name, tool):
    try:
        with open(os.path.join(workdir, f"{name}.{tool}.count")) as f:
            return f.read().strip()
    except OSError:
        return "?"


def cpu(workdir, name):
    """Mean user+system seconds by command name."""
    return {c: statistics.mean(t) for c, t in rounds(workdir, name)[1].items()}


def print_rows(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for i, r in enumerate(rows):
        print("  ".join(c.ljust(widths[k]) for k, c in enumerate(r)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))


def cold_table(workdir, workloads):
    header = ("workload", "findlark", "fd / rg", "ratio fd/rg", "before", "ratio before",
              "8-thread limit", "ratio limit", "cpu findlark / peer / before",
              "hits findlark / peer")
    rows = [header]
    for w in workloads:
        name, kind, folder, query = w.split("|")
        times, cpus = medians(workdir, name), cpu(workdir, name)
        ours, peer = times["findlark"], times["peer"]
        before, limit = times.get("before"), times.get("limit")
        rows.append((f"{name} ({query!r} in {folder})", f"{ours * 1000:.0f} ms",
                     f"{peer * 1000:.0f} ms", f"{ours / peer:.2f}x",
                     f"{before * 1000:.0f} ms" if before else "-",
                     f"{ours / before:.2f}x" if before else "-",
                     f"{limit * 1000:.0f} ms" if limit else "-",
                     f"{ours / limit:.2f}x" if limit else "-",
                     " / ".join(f"{cpus[c] * 1000:.0f}" if c in cpus else "-"
                                for c in ("findlark", "peer", "before")) + " ms",
                     " / ".join(count(workdir, name, t) for t in ("findlark", "peer"))))
    print_rows(rows)
    print("medians; cpu = mean user+system time; ratio limit = findlark / min_walker on 8 threads")


def cpu_table(workdir, workloads):
    header = ("workload", "cpu findlark", "cpu fd / rg", "ratio fd/rg", "cpu before",
              "ratio before", "cpu limit")
    rows = [header]
    for w in workloads:
        name = w.split("|")[0]
        cpus = cpu(workdir, name)
        ours, peer, before, limit = (cpus.get(c) for c in ("findlark", "peer", "before", "limit"))
        rows.append((name, f"{ours * 1000:.0f} ms", f"{peer * 1000:.0f} ms", f"{ours / peer:.2f}x",
                     f"{before * 1000:.0f} ms" if before else "-",
                     f"{ours / before:.2f}x" if before else "-",
                     f"{limit * 1000:.0f} ms" if limit else "-"))
    print_rows(rows)
    print("cpu = mean user+system time per run, which a busy machine disturbs less than the wall "
          "clock")


def main():
    if sys.argv[1] == "--cpu":
        cpu_table(sys.argv[2], sys.argv[3:])
        return
    if sys.argv[1] == "--cold":
        cold_table(sys.argv[2], sys.argv[3:])
        return
    workdir, workloads = sys.argv[1], sys.argv[2:]
    header = ("workload", "findlark", "fd / rg", "find / grep", "ratio fd/rg",
              "ratio find/grep", "hits findlark / peer / gnu", "before", "ratio before",
              "2-thread limit")
    rows = [header]
    for w in workloads:
        name, kind, folder, query = w.split("|")
        times = medians(workdir, name)
        ours, peer, gnu = times["findlark"], times["peer"], times["gnu"]
        before, limit = times.get("before"), times.get("limit")
        rows.append((f"{name} ({query!r} in {folder})", f"{ours * 1000:.0f} ms",
                     f"{peer * 1000:.0f} ms", f"{gnu * 1000:.0f} ms",
                     f"{ours / peer:.2f}x", f"{ours / gnu:.2f}x",
                     " / ".join(count(workdir, name, t) for t in ("findlark", "peer", "gnu")),
                     f"{before * 1000:.0f} ms" if before else "-",
                     f"{ours / before:.2f}x" if before else "-",
                     f"{limit * 1000:.0f} ms" if limit else "-"))
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    for i, r in enumerate(rows):
        print("  ".join(c.ljust(widths[k]) for k, c in enumerate(r)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    print("ratio = findlark median / peer median (below 1 means findlark is faster); "
          "ratio before = findlark / the older build; -1cpu rows run on CPU 0 alone")


if __name__ == "__main__":
    main()
