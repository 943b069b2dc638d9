#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The boot's timeline and page as their readers see them.

  timeline_test.py json DXESIM SOURCE_DIR
      Boots boards with --timeline: the JSON parses, every event has the
      fields its phase needs, every track is named, and slices on one track
      nest or follow each other, never overlap.
  timeline_test.py page DXESIM CHROMIUM
      Boots the reference board with --html, --timeline and --json, lets
      headless Chromium load the page and dump its DOM, and finds every
      slice (image and function) and every check (name and verdict).
"""
import html.parser
import json
import os
import subprocess
import sys
import tempfile

PHASE_FIELDS = {"X": ("ts", "dur"), "i": ("ts", "s"), "M": ("args",)}


def boot(dxesim, directory, board, *outputs):
    args = [dxesim, "boot", "--quiet"] + ([board] if board else [])
    for option, name in outputs:
        args += [option, os.path.join(directory, name)]
    run = subprocess.run(args, capture_output=True, text=True)
    # 0: as expected; 3: the board halts, as some mean to.
    if run.returncode not in (0, 3):
        sys.exit(f"dxesim {board}: exit {run.returncode}\n{run.stderr}")


def check_timeline(path, failures):
    with open(path, encoding="utf-8") as f:
        doc = json.load(f)
    events = doc.get("traceEvents")
    if not isinstance(events, list) or not events or doc.get("displayTimeUnit") not in ("ms", "ns"):
        failures.append(f"{path}: no traceEvents list or displayTimeUnit")
        return
    named, used, slices = set(), set(), {}
    for n, e in enumerate(events):
        where = f"{path} event {n} ({e.get('name')!r})"
        ph = e.get("ph")
        missing = [k for k in ("ph", "name", "pid", "tid") + PHASE_FIELDS.get(ph, ()) if k not in e]
        if ph not in PHASE_FIELDS or missing:
            failures.append(f"{where}: phase {ph!r}, missing {missing}")
            continue
        if ph == "M":
            if e["name"] == "thread_name":
                named.add((e["pid"], e["tid"]))
            continue
        used.add((e["pid"], e["tid"]))
        if ph == "i" and e["s"] not in ("g", "p", "t"):
            failures.append(f"{where}: instant scope {e['s']!r}")
        if ph == "X":
            start, end = e["args"]["start_ns"], e["args"]["end_ns"]
            if e["dur"] < 0 or abs(e["ts"] - start / 1000) > 1e-6 or abs(e["dur"] - (end - start) / 1000) > 1e-6:
                failures.append(f"{where}: ts {e['ts']} dur {e['dur']} against {start}..{end} ns")
            slices.setdefault((e["pid"], e["tid"]), []).append((start, end, e["name"]))
    for track in sorted(used - named):
        failures.append(f"{path}: track {track} has no thread_name")
    for track, items in slices.items():
        # Longest first at one start: a parent before the calls it made.
        stack = []
        for start, end, name in sorted(items, key=lambda s: (s[0], -s[1])):
            while stack and stack[-1][1] <= start:
                stack.pop()
            if stack and end > stack[-1][1]:
                failures.append(f"{path}: on track {track}, {name} ({start}..{end}) overlaps "
                                f"{stack[-1][2]} ({stack[-1][0]}..{stack[-1][1]})")
            stack.append((start, end, name))
    return doc


class Dom(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.slices, self.checks = [], []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        classes = (a.get("class") or "").split()
        if tag == "rect" and "slice" in classes and a.get("data-image"):
            self.slices.append((a["data-image"], a["data-function"]))
        if tag == "tr" and "check" in classes:
            self.checks.append((a["data-name"], a["data-verdict"]))


def main():
    mode, dxesim, other = sys.argv[1], sys.argv[2], sys.argv[3]
    failures = []
    with tempfile.TemporaryDirectory() as directory:
        if mode == "json":
            boards = [None] + [os.path.join(other, "boards", b) for b in
                               ("s3-resume.toml", "s3-wild-comm-buffer.toml", "sata-die0-with-failures.toml")]
            for n, board in enumerate(boards):
                boot(dxesim, directory, board, ("--timeline", f"t{n}.json"))
                check_timeline(os.path.join(directory, f"t{n}.json"), failures)
        else:
            boot(dxesim, directory, None, ("--html", "page.html"), ("--timeline", "t.json"),
                 ("--json", "report.json"))
            timeline = check_timeline(os.path.join(directory, "t.json"), failures)
            with open(os.path.join(directory, "report.json"), encoding="utf-8") as f:
                report = json.load(f)
            run = subprocess.run([other, "--headless", "--no-sandbox", "--disable-gpu",
                                  f"--user-data-dir={os.path.join(directory, 'profile')}", "--dump-dom",
                                  "file://" + os.path.join(directory, "page.html")],
                                 capture_output=True, text=True, timeout=120)
            dom = Dom()
            dom.feed(run.stdout)
            calls = sorted((e["args"]["image"], e["args"]["function"]) for e in timeline["traceEvents"]
                           if e["ph"] == "X" and e["cat"] == "call")
            if not calls or sorted(dom.slices) != calls:
                failures.append(f"page slices {sorted(dom.slices)} are not the timeline's calls {calls}")
            checks = [(c["name"], c["verdict"]) for c in report["checks"]]
            if not checks or dom.checks != checks:
                failures.append(f"page checks {dom.checks} are not the report's {checks}")
    for failure in failures:
        print(failure)
    print(f"{mode}: {'FAILED' if failures else 'ok'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
