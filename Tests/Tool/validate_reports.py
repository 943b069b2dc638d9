#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""Every shipped board's JSON report validates against docs/report.schema.json,
and a report broken in each way the contract forbids does not.

    validate_reports.py DXESIM SOURCE_DIR
"""
import copy, glob, json, os, subprocess, sys

import jsonschema


def report(dxesim, board):
    args = [dxesim, 'boot', '--quiet', '--json', '-'] + ([board] if board else [])
    run = subprocess.run(args, capture_output=True, text=True)
    # A board expected to halt exits 3, with its report.
    halts = board is not None and 'expected_halt' in open(board).read()
    if run.returncode != (3 if halts else 0):
        sys.exit(f'{board or "reference"}: dxesim exited {run.returncode}: {run.stderr}')
    return json.loads(run.stdout)


def main():
    dxesim, source = sys.argv[1], sys.argv[2]
    schema = json.load(open(os.path.join(source, 'docs', 'report.schema.json')))
    validator = jsonschema.Draft202012Validator(schema)
    validator.check_schema(schema)
    boards = [None] + sorted(glob.glob(os.path.join(source, 'boards', '*.toml')))
    reports = {}
    for board in boards:
        r = report(dxesim, board)
        errors = sorted(validator.iter_errors(r), key=lambda e: list(e.path))
        if errors:
            sys.exit(f'{board or "reference"}: {len(errors)} schema errors, first at '
                     f'{"/".join(map(str, errors[0].path))}: {errors[0].message}')
        reports[board or 'reference'] = r
    print(f'{len(reports)} reports valid')

    base = reports[os.path.join(source, 'boards', 's3-resume.toml')]
    wrong = {
        'an address as an integer': lambda r: r['console']['uarts'][0].__setitem__('base', 1016),
        'a padded or lower-case hex value': lambda r: r['gcd'][0].__setitem__('base', '0x00000000'.lower() + 'ab'),
        'prose in a data field': lambda r: r['s3']['library'].__setitem__('table_base', 'not live pool (freed)') or
                                         r['pcd_writes'][0].__setitem__('points_to', 'pool[0]+0x0 (16 bytes, KeshInitDxe)'),
        'a missing format version': lambda r: r.pop('format'),
        'an absent section left out instead of null': lambda r: r.pop('mc5744'),
        'an unknown verdict': lambda r: r['checks'][0].__setitem__('verdict', 'PASSED'),
        'a count as a string': lambda r: r.__setitem__('breakpoints', '0'),
    }
    for what, damage in wrong.items():
        broken = copy.deepcopy(base)
        damage(broken)
        if validator.is_valid(broken):
            sys.exit(f'a report with {what} was accepted')
    print(f'{len(wrong)} broken reports refused')


if __name__ == '__main__':
    main()
