# SPDX-License-Identifier: BSD-2-Clause-Patent
"""scripts/coverage-report.py on gcovr runs made up for the purpose."""
import importlib.util
import json
import os
import tempfile
import unittest
from pathlib import Path

SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "coverage-report.py")
spec = importlib.util.spec_from_file_location("coverage_report", SCRIPT)
coverage_report = importlib.util.module_from_spec(spec)
spec.loader.exec_module(coverage_report)


def line(number, count, branches=(), noncode=False):
    out = {"line_number": number, "count": count, "branches": [{"count": b} for b in branches]}
    if noncode:
        out["gcovr/noncode"] = True
    return out


def run(*lines, file="Features/A.cpp"):
    return {"files": [{"file": file, "lines": list(lines),
                       "functions": [{"name": "F", "lineno": 1, "execution_count": lines[0]["count"]}]}]}


class Figures(unittest.TestCase):
    def test_lines_and_branches_counted_noncode_apart(self):
        lines = coverage_report.lines_of(run(line(1, 3, (1, 0)), line(2, 0, (0, 0)), line(3, 0, noncode=True)))
        self.assertEqual(coverage_report.figures(lines),
                         {"lines": 2, "lines_reached": 1, "branches": 4, "branches_taken": 1})


class Lcov(unittest.TestCase):
    def test_records_every_line_branch_and_function_with_totals(self):
        text = coverage_report.lcov(run(line(1, 2, (2, 0)), line(5, 0, (0,)), line(6, 0, noncode=True)))
        self.assertEqual(text.splitlines(), [
            "TN:tests", "SF:Features/A.cpp", "FN:1,F", "FNDA:2,F",
            "BRDA:1,0,0,2", "BRDA:1,0,1,0",
            # a branch on a line that never ran is "-", as lcov writes it
            "BRDA:5,0,0,-",
            "DA:1,2", "DA:5,0",
            "BRF:3", "BRH:1", "LF:2", "LH:1", "end_of_record"])


class Compare(unittest.TestCase):
    CASES = [
        # name, runs as {run: [(line, count)]}, lines only each reaches, lines not every run reaches
        ("one run reaches a line alone",
         {"a": [(1, 1), (2, 1)], "b": [(1, 1), (2, 0)]}, {"a": ["Features/A.cpp:2"], "b": []},
         {"Features/A.cpp:2": ["a"]}),
        ("every run reaches the same lines",
         {"a": [(1, 1)], "b": [(1, 4)]}, {"a": [], "b": []}, {}),
        ("two runs share a line a third lacks",
         {"a": [(1, 1), (2, 1)], "b": [(1, 0), (2, 1)], "c": [(1, 0), (2, 0)]},
         {"a": ["Features/A.cpp:1"], "b": [], "c": []},
         {"Features/A.cpp:1": ["a"], "Features/A.cpp:2": ["a", "b"]}),
    ]

    def test_cases(self):
        for name, runs, only, some in self.CASES:
            with self.subTest(name):
                table = {n: coverage_report.lines_of(run(*(line(l, c) for l, c in lines)))
                         for n, lines in runs.items()}
                md, data = coverage_report.compare("t", table, "boards")
                self.assertEqual({r["name"]: r["only_here"] for r in data["runs"]}, only)
                self.assertEqual(data["lines"], some)
                for key in some:
                    self.assertIn(f"| {key} |", md)


class Report(unittest.TestCase):
    def test_writes_every_report_and_names_matrix_groups_by_outcome(self):
        with tempfile.TemporaryDirectory() as directory:
            out = Path(directory)
            (out / "runs").mkdir()
            for name, count in (("tests", 1), ("board.reference", 1), ("board.other", 0),
                                ("matrix.policy.1", 1), ("matrix.policy.2", 0)):
                (out / "runs" / f"{name}.json").write_text(json.dumps(run(line(1, 1), line(2, count))))
            (out / "matrix.policy.json").write_text(json.dumps(
                {"outcomes": [{"key": "pass | usb mask: 0x2", "cases": [3, 4]},
                              {"key": "fail | entry: Not Found", "cases": [7]}]}))
            coverage_report.report(out)
            self.assertIn("SF:Features/A.cpp", (out / "coverage.lcov").read_text())
            boards = json.loads((out / "boards.json").read_text())
            self.assertEqual(boards["lines"], {"Features/A.cpp:2": ["reference"]})
            groups = json.loads((out / "matrices.json").read_text())
            self.assertEqual(groups["lines"], {"Features/A.cpp:2": ["policy 1: pass | usb mask: 0x2"]})


if __name__ == "__main__":
    unittest.main()
