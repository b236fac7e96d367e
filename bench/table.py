#!/usr/bin/env python3
"""Prints the benchmark table from the hyperfine JSON files and hit counts that run.sh wrote.

Usage: table.py WORKDIR WORKLOAD...   where each WORKLOAD is "name|kind|folder|query".
"""
import json
import os
import sys


def medians(workdir, name):
    """Median seconds by command name (findlark, peer, gnu, and before/limit when timed)."""
    with open(os.path.join(workdir, f"{name}.json")) as f:
        results = json.load(f)["results"]
    return {r["command"]: r["median"] for r in results}


def count(workdir, name, tool):
    try:
        with open(os.path.join(workdir, f"{name}.{tool}.count")) as f:
            return f.read().strip()
    except OSError:
        return "?"


def main():
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
