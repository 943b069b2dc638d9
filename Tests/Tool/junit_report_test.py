#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""dxesim boot, sweep and matrix with --junit: the XML, read back by
junitparser, holds one suite per boot and one case per check, with the
counts and outcomes the JSON of the same run gives. --strict refuses an
[expect] entry without a reason on each command, before booting.

    junit_report_test.py DXESIM SOURCE_DIR
"""
import json, os, subprocess, sys, tempfile

from junitparser import Error, Failure, JUnitXml, Skipped

PROBLEMS = []


def check(condition, what):
    if not condition:
        PROBLEMS.append(what)


def run(dxesim, work, args, status):
    """Runs a command with --junit and --json; its XML and its JSON."""
    xml, js = os.path.join(work, 'r.xml'), os.path.join(work, 'r.json')
    done = subprocess.run([dxesim] + args + ['--quiet', '--junit', xml, '--json', js], capture_output=True, text=True)
    check(done.returncode == status, f'{args}: exit {done.returncode}, expected {status}: {done.stderr}')
    return JUnitXml.fromfile(xml), json.load(open(js))


def case_of(case):
    result = case.result[0] if case.result else None
    kind = {Skipped: 'skipped', Error: 'error', Failure: 'fail', type(None): 'pass'}[type(result)]
    return kind, result.message if result is not None else None


def wanted(c):
    """The case a check of the JSON must become, and its skipped message."""
    verdict, expected = c['verdict'], c['expected']
    if verdict == 'warn' and (expected is None or expected['verdict'] != 'warn'):
        return 'pass', None
    if expected is None:
        return {'fail': ('fail', None), 'pass': ('pass', None)}.get(verdict, ('skipped', f'not applicable: {c["reason"]}'))
    if expected['verdict'] != verdict or expected['count'] not in (None, c['count']):
        return 'fail', None
    return ('pass', None) if verdict == 'pass' else ('skipped', f'expected {verdict}: {expected["reason"] or c["reason"]}')


def compare(suite, checks, what):
    cases = list(suite)
    check([c.name for c in cases] == [c.get('name', c.get('check')) for c in checks], f'{what}: cases are the checks')
    kinds = []
    for case, c in zip(cases, checks):
        kind, message = case_of(case)
        want, want_message = wanted(c)
        check(kind == want and (want != 'skipped' or message == want_message),
              f'{what}: {case.name} is {kind} "{message}", the JSON says {want} "{want_message}"')
        kinds.append(kind)
    check((suite.tests, suite.failures, suite.skipped, suite.errors) ==
          (len(checks), kinds.count('fail'), kinds.count('skipped'), kinds.count('error')), f'{what}: suite counts')
    return kinds


def main():
    dxesim, boards = sys.argv[1], os.path.abspath(os.path.join(sys.argv[2], 'boards'))
    work = tempfile.mkdtemp(prefix='junit-')
    warns = os.path.join(boards, 'uart-never-drains.toml')  # expects its console warning
    planted = os.path.join(work, 'planted.toml')  # states a warning where spi.protect passes
    with open(planted, 'w') as f:
        f.write(f'[board]\nextends = "{warns}"\nname = "planted"\n'
                '[expect]\n"spi.protect" = { verdict = "warn", reason = "planted" }\n')

    for board, status, failures in ((warns, 0, 0), (planted, 4, 1)):
        xml, report = run(dxesim, work, ['boot', board], status)
        check([s.name for s in xml] == [report['board']['name']], f'{board}: one suite, the board')
        kinds = compare(list(xml)[0], report['checks'], board)
        check(kinds.count('fail') == failures, f'{board}: failures')
    protect = [c for s in xml for c in s if c.name == 'spi.protect'][0]
    check(case_of(protect)[1] == 'got pass, the board expects warn (planted): the protect bit is set',
          f'planted failure: {case_of(protect)}')

    xml, result = run(dxesim, work, ['sweep', planted, '--only', 'AllocatePool,CreateEventEx'], 4)
    boots = [result['baseline']] + result['boots']
    check(len(list(xml)) == len(boots) > 2 and list(xml)[0].name == 'unfailed boot', 'sweep: a suite per boot')
    for suite, boot in zip(xml, boots):
        compare(suite, boot['verdicts'], f'sweep {suite.name}')

    matrix = os.path.join(work, 'tiny.toml')
    with open(matrix, 'w') as f:
        f.write(f'[matrix]\nname = "tiny"\nbase = "{warns}"\n'
                '[[axis]]\nkey = "platform.identity.system_id"\nvalues = [2040, 2041, 7]\n')
    xml, result = run(dxesim, work, ['matrix', matrix, '--jobs', '1'], 0)
    suites = {s.name.split(':')[0]: s for s in xml}
    check(len(suites) == result['booted'] == 3, 'matrix: a suite per combination')
    for group in result['outcomes']:
        compare(suites[f'case {group["cases"][0]}'], group['verdicts'], f'matrix case {group["cases"][0]}')

    # --strict: (board's [expect] entry, exit status of boot, sweep and matrix, what stderr says).
    refusal = f'dxesim: {planted}:5: expect: spi.lock: no reason given (--strict wants one for every expectation)\n'
    for entry, statuses, stderr in (('"spi.lock" = "pass"', (2, 2, 2), refusal),
                                    ('"spi.lock" = { verdict = "pass", reason = "no PWD" }', (0, 0, 0), ''),
                                    # an unexpected warning is a violation (the matrix's model expects it)
                                    ('console = { verdict = "pass", reason = "planted" }', (4, 4, 0), '')):
        with open(planted, 'w') as f:
            f.write(f'[board]\nextends = "{warns}"\nname = "strict"\n[expect]\n{entry}\n')
        with open(matrix, 'w') as f:
            f.write(f'[matrix]\nbase = "{planted}"\n[[axis]]\nkey = "platform.identity.system_id"\nvalues = [2040]\n')
        for args, status in zip((['boot', planted], ['sweep', planted, '--only', 'AllocatePool'], ['matrix', matrix]),
                                statuses):
            done = subprocess.run([dxesim] + args + ['--quiet', '--strict'], capture_output=True, text=True)
            check((done.returncode, done.stderr) == (status, stderr), f'{args} {entry}: {done.returncode} {done.stderr}')

    for problem in PROBLEMS:
        print(f'FAILED: {problem}')
    sys.exit(1 if PROBLEMS else 0)


if __name__ == '__main__':
    main()
