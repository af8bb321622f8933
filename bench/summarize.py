#!/usr/bin/env python3
"""Combines hyperfine JSON exports of alternating rounds into one line.

    summarize.py NAME GOAL FILE.json...

Every file holds one round with two commands named "ovpre" and the
yardstick; all runs of each command across the rounds are pooled and the
medians compared. Prints a Markdown table row.
"""
import json
import statistics
import sys


def main():
    name, goal, paths = sys.argv[1], float(sys.argv[2]), sys.argv[3:]
    times = {}
    for path in paths:
        with open(path) as f:
            for result in json.load(f)["results"]:
                times.setdefault(result["command"], []).extend(result["times"])
    ours = statistics.median(times.pop("ovpre"))
    (other_name, other_times), = times.items()
    other = statistics.median(other_times)
    ratio = ours / other
    verdict = "met" if ratio <= goal else "MISSED"
    print("| %s | %.2f ms | %s %.2f ms | **%.2f** | <= %.1f %s |"
          % (name, ours * 1e3, other_name, other * 1e3, ratio, goal, verdict))


if __name__ == "__main__":
    main()
