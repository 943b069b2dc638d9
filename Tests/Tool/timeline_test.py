#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""timeline_test.py json DXESIM SOURCE_DIR: boots boards with --timeline; the
JSON parses, every event has the fields of its phase, every track is named,
slices on one track nest or follow each other.
timeline_test.py page DXESIM CHROMIUM: boots the reference board with --html;
headless Chromium's DOM of the page holds every call of --timeline (image and
function) and every check of --json (name and verdict)."""
import json
import os
import re
import subprocess
import sys
import tempfile

PHASE_FIELDS = {"X": ("ts", "dur", "args"), "i": ("ts", "s"), "M": ("args",)}


def boot(dxesim, directory, board, *outputs):
    args = [dxesim, "boot", "--quiet"] + ([board] if board else [])
    for option, name in outputs:
        args += [option, os.path.join(directory, name)]
    run = subprocess.run(args, capture_output=True, text=True)
    if run.returncode not in (0, 3):  # 3: a board that means to halt
        sys.exit(f"dxesim {board}: exit {run.returncode}\n{run.stderr}")
    return [os.path.join(directory, name) for _, name in outputs]


def check_timeline(path, failures):
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    if doc.get("displayTimeUnit") not in ("ms", "ns") or not doc.get("traceEvents"):
        failures.append(f"{path}: no traceEvents or displayTimeUnit")
    named, used, slices = set(), set(), {}
    for n, e in enumerate(doc.get("traceEvents", [])):
        ph = e.get("ph")
        missing = [k for k in ("name", "pid", "tid") + PHASE_FIELDS.get(ph, ()) if k not in e]
        if ph not in PHASE_FIELDS or missing or (ph == "i" and e["s"] not in "gpt"):
            failures.append(f"{path} event {n}: phase {ph!r}, missing {missing}: {e}")
            continue
        track = (e["pid"], e["tid"])
        if ph == "M":
            named |= {track} if e["name"] == "thread_name" else set()
            continue
        used.add(track)
        if ph == "X":
            # ts and dur against the record: TimelineTest; here, how the slices lie.
            slices.setdefault(track, []).append((e["args"]["start_ns"], e["args"]["end_ns"], e["name"]))
    failures += [f"{path}: track {track} has no thread_name" for track in sorted(used - named)]
    for track, items in slices.items():
        stack = []  # the slices open at a time; at one start the longest (the caller) first
        for start, end, name in sorted(items, key=lambda s: (s[0], -s[1])):
            while stack and stack[-1][1] <= start:
                stack.pop()
            if stack and end > stack[-1][1]:
                failures.append(f"{path}: on track {track}, {name} {start}..{end} overlaps {stack[-1]}")
            stack.append((start, end, name))
    return doc


def main():
    mode, dxesim, other = sys.argv[1:4]
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        if mode == "json":
            for n, board in enumerate([None] + [os.path.join(other, "boards", b) for b in (
                    "s3-resume.toml", "s3-wild-comm-buffer.toml", "sata-die0-with-failures.toml")]):
                check_timeline(boot(dxesim, directory, board, ("--timeline", f"t{n}.json"))[0], failures)
        else:
            page, timeline, report = boot(dxesim, directory, None, ("--html", "page.html"),
                                          ("--timeline", "t.json"), ("--json", "report.json"))
            timeline = check_timeline(timeline, failures)
            with open(report, encoding="utf-8") as f:
                checks = [(c["name"], c["verdict"]) for c in json.load(f)["checks"]]
            run = subprocess.run([other, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
                                  f"--user-data-dir={os.path.join(directory, 'profile')}", "file://" + page],
                                 capture_output=True, text=True, timeout=120)
            # Chromium writes the attributes in the page's order, values escaped as in the page.
            slices = re.findall(r'<rect class="slice [^"]*"[^>]* data-image="([^"]+)" data-function="([^"]*)"', run.stdout)
            dom_checks = re.findall(r'<tr class="check [^"]*" data-name="([^"]*)" data-verdict="([^"]*)"', run.stdout)
            calls = sorted((e["args"]["image"], e["args"]["function"]) for e in timeline["traceEvents"]
                           if e["ph"] == "X" and e["cat"] == "call")
            if not calls or sorted(slices) != calls:
                failures.append(f"page slices {sorted(slices)} are not the timeline's calls {calls}")
            if not checks or dom_checks != checks:
                failures.append(f"page checks {dom_checks} are not the report's {checks}")
    print("\n".join(failures + [f"{mode}: {'FAILED' if failures else 'ok'}"]))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
