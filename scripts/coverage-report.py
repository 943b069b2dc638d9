#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The parts of scripts/coverage.sh that read gcovr's JSON.

  coverage-report.py groups MATRIX.json
      one line per outcome group of a `dxesim matrix --json` run:
      its number and its case ids (the boards `--out DIR --all` wrote)
  coverage-report.py report DIR
      reads DIR/runs/*.json (gcovr --json) and writes DIR/coverage.lcov
      (of the tests' run), DIR/boards.md and DIR/matrices.md (and .json)
"""
import json
import sys
from pathlib import Path


def lines_of(run):
    """{(file, line): (count, [branch counts])} of the lines gcov counts."""
    out = {}
    for f in run["files"]:
        for line in f["lines"]:
            if line.get("gcovr/noncode"):
                continue
            out[(f["file"], line["line_number"])] = (line["count"], [b["count"] for b in line["branches"]])
    return out


def figures(lines):
    reached = sum(1 for count, _ in lines.values() if count > 0)
    branches = [b for _, bs in lines.values() for b in bs]
    return {
        "lines": len(lines),
        "lines_reached": reached,
        "branches": len(branches),
        "branches_taken": sum(1 for b in branches if b > 0),
    }


def percent(part, whole):
    return f"{100.0 * part / whole:.1f}%" if whole else "-"


def lcov(run):
    text = ["TN:tests"]
    for f in sorted(run["files"], key=lambda f: f["file"]):
        text.append(f"SF:{f['file']}")
        for function in f.get("functions", []):
            text.append(f"FN:{function['lineno']},{function['name']}")
            text.append(f"FNDA:{function['execution_count']},{function['name']}")
        counted = [line for line in f["lines"] if not line.get("gcovr/noncode")]
        branches = 0
        taken = 0
        for line in counted:
            for index, branch in enumerate(line["branches"]):
                # lcov writes "-" for a branch whose line never ran.
                hits = str(branch["count"]) if line["count"] > 0 else "-"
                text.append(f"BRDA:{line['line_number']},0,{index},{hits}")
                branches += 1
                taken += branch["count"] > 0
        for line in counted:
            text.append(f"DA:{line['line_number']},{line['count']}")
        text += [f"BRF:{branches}", f"BRH:{taken}", f"LF:{len(counted)}",
                 f"LH:{sum(1 for line in counted if line['count'] > 0)}", "end_of_record"]
    return "\n".join(text) + "\n"


def compare(title, runs, what):
    """A table of runs (name -> lines) and the lines only some of them reach."""
    reached = {name: {key for key, (count, _) in lines.items() if count > 0} for name, lines in runs.items()}
    everyone = set.intersection(*reached.values()) if reached else set()
    anyone = set.union(*reached.values()) if reached else set()
    rows = []
    for name, lines in runs.items():
        others = set().union(*(r for n, r in reached.items() if n != name))
        rows.append(dict(figures(lines), name=name, only_here=sorted(reached[name] - others)))
    some = sorted(anyone - everyone)
    md = [f"# {title}", "",
          f"{len(runs)} {what}; {len(anyone)} lines of the driver reached by at least one, "
          f"{len(everyone)} by every one.", "",
          f"| {what[:-1]} | lines | branches | lines no other reaches |", "|---|---|---|---|"]
    for row in rows:
        md.append(f"| {row['name']} | {row['lines_reached']}/{row['lines']} "
                  f"({percent(row['lines_reached'], row['lines'])}) | {row['branches_taken']}/{row['branches']} "
                  f"({percent(row['branches_taken'], row['branches'])}) | "
                  + (", ".join(f"{f}:{n}" for f, n in row["only_here"]) or "-") + " |")
    md += ["", f"## Which {what} reach the lines that not every one reaches", "",
           "| line | reached by |", "|---|---|"]
    for key in some:
        by = [name for name in runs if key in reached[name]]
        md.append(f"| {key[0]}:{key[1]} | {', '.join(by) if len(by) <= len(runs) // 2 else 'all but ' + ', '.join(n for n in runs if n not in by)} |")
    data = {"runs": [{k: (v if k != "only_here" else [f"{f}:{n}" for f, n in v]) for k, v in row.items()}
                     for row in rows],
            "lines": {f"{f}:{n}": [name for name in runs if (f, n) in reached[name]] for f, n in some}}
    return "\n".join(md) + "\n", data


def report(directory):
    runs_dir = directory / "runs"
    runs = {p.stem: json.loads(p.read_text()) for p in sorted(runs_dir.glob("*.json"))}
    if "tests" in runs:
        (directory / "coverage.lcov").write_text(lcov(runs["tests"]))
    boards = {name.split(".", 1)[1]: lines_of(run) for name, run in runs.items() if name.startswith("board.")}
    groups = {name.split(".", 1)[1]: lines_of(run) for name, run in runs.items() if name.startswith("matrix.")}
    labels = {}
    for spec in sorted(directory.glob("matrix.*.json")):
        matrix = spec.stem.split(".", 1)[1]
        for number, outcome in enumerate(json.loads(spec.read_text())["outcomes"], 1):
            labels[f"{matrix}.{number}"] = f"{matrix} {number}: {outcome['key']}"
    groups = {labels.get(name, name): lines for name, lines in groups.items()}
    for stem, title, what, table in (("boards", "Driver coverage by shipped board", "boards", boards),
                                     ("matrices", "Driver coverage by matrix outcome group", "groups", groups)):
        md, data = compare(title, table, what)
        (directory / f"{stem}.md").write_text(md)
        (directory / f"{stem}.json").write_text(json.dumps(data, indent=1) + "\n")


def groups(matrix_json):
    for number, outcome in enumerate(json.loads(Path(matrix_json).read_text())["outcomes"], 1):
        print(number, " ".join(str(case) for case in outcome["cases"]))


def main(argv):
    if len(argv) == 3 and argv[1] == "groups":
        groups(argv[2])
    elif len(argv) == 3 and argv[1] == "report":
        report(Path(argv[2]))
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
