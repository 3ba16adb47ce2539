#!/usr/bin/env python3
"""Adds up the tables that `cut_sweep --part K/N` runs printed, row by row, into one table of the same form.

usage: sweep_total.py TABLE...   (each file: one run's standard output)
"""
import re
import sys

COLUMNS = ["points", "bricked", "recovered", "not recovered", "false successes", "cut completed", "user retried"]
ROW = re.compile(r"^(boot2 flag [01])\s{2,}(.+?)\s+((?:\d+\s+){6}\d+)\s*$")


def main(paths):
    if not paths:
        sys.exit(__doc__.strip())
    rows = {}
    headers = []
    for path in paths:
        with open(path, encoding="utf-8") as table:
            lines = table.read().splitlines()
        if not lines or not lines[0].startswith(("harder unit", "control unit")):
            sys.exit(f"sweep_total: {path} is not a table of cut_sweep")
        part = re.search(r", part \d+ of \d+,", lines[0])
        if part and any(part.group(0) in header for header in headers):
            sys.exit(f"sweep_total: {path}:{part.group(0)[1:-1]} is given twice")
        headers.append(lines[0])
        for line in lines[1:]:
            match = ROW.match(line)
            if not match:
                continue
            key = (match.group(1), match.group(2))
            counts = [int(n) for n in match.group(3).split()]
            rows[key] = [a + b for a, b in zip(rows.get(key, [0] * len(COLUMNS)), counts)]
    fmt = "%-13s %-25s %8s %8s %10s %14s %16s %14s %13s"
    print(f"{len(paths)} tables added up:")
    for header in headers:
        print("  " + header)
    print(fmt % ("plan", "cut", *COLUMNS))
    total = [0] * len(COLUMNS)
    for (plan, kind), counts in rows.items():
        print(fmt % (plan, kind, *counts))
        total = [a + b for a, b in zip(total, counts)]
    print(fmt % ("", "total", *total))


if __name__ == "__main__":
    main(sys.argv[1:])
