#!/usr/bin/env python3
"""Combines hyperfine JSON exports of alternating rounds into one line.

    summarize.py NAME GOAL FILE.json...

Every file holds one round with two commands named "ovpre" and the
yardstick; all runs of each command across the rounds are pooled and the
medians compared. GOAL is the largest ratio ovpre / yardstick that meets the
goal ("0.8"), or, written with a leading "+", the most seconds ovpre may take
beyond the yardstick ("+0.1"). Prints a Markdown table row:
case | goal | ovpre median | yardstick median | measured | verdict.
"""
import json
import statistics
import sys


def main():
    name, goal, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    times = {}
    for path in paths:
        with open(path) as f:
            for result in json.load(f)["results"]:
                times.setdefault(result["command"], []).extend(result["times"])
    ours = statistics.median(times.pop("ovpre"))
    (other_name, other_times), = times.items()
    other = statistics.median(other_times)
    if goal.startswith("+"):
        limit, measured = float(goal), ours - other
        shown = "%+.3f s" % measured
        goal_text = "<= %s s" % goal
    else:
        limit, measured = float(goal), ours / other
        shown = "%.2f" % measured
        goal_text = "<= %sx" % goal
    verdict = "met" if measured <= limit else "MISSED"
    print("| %s | %s | %.2f ms | %s %.2f ms | **%s** | %s |"
          % (name, goal_text, ours * 1e3, other_name, other * 1e3, shown, verdict))


if __name__ == "__main__":
    main()
