#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""dxesim boot, sweep and matrix with --junit: the XML, read back by
junitparser, holds one suite per boot and one case per check, with the
counts and outcomes the JSON of the same run gives.

    junit_report_test.py DXESIM SOURCE_DIR
"""
import json, os, subprocess, sys, tempfile

from junitparser import Error, Failure, JUnitXml, Skipped

FAILURES = 0


def check(condition, what):
    global FAILURES
    if not condition:
        FAILURES += 1
        print(f'FAILED: {what}')


def run(dxesim, args, status, what):
    done = subprocess.run([dxesim] + args, capture_output=True, text=True)
    check(done.returncode == status, f'{what}: exit {done.returncode}, expected {status}: {done.stderr}')
    return done


def outcome(case):
    """What a case is, by its result elements: pass, fail, warning, error, skipped."""
    if not case.result:
        return ('pass', None)
    result = case.result[0]
    if isinstance(result, Skipped):
        return ('skipped', result.message)
    if isinstance(result, Error):
        return ('error', result.message)
    if isinstance(result, Failure):
        return ('warning' if result.type == 'warning' else 'fail', result.message)
    return ('?', None)


def as_expected(c):
    """The boot report says it; the sweep's and the matrix's checks leave it to the reader."""
    expected = c['expected']
    if expected is None:
        return c['verdict'] != 'fail'
    return expected['verdict'] == c['verdict'] and expected['count'] in (None, c['count'])


def expected_outcome(check_json, strict=False):
    """The case a check of the JSON must become."""
    verdict, expected = check_json['verdict'], check_json['expected']
    if verdict == 'warn' and (expected is None or expected['verdict'] != 'warn'):
        return 'warning' if strict else 'pass'
    if not as_expected(check_json):
        return 'fail'  # no board here halts or crashes unexpectedly
    if verdict == 'pass':
        return 'pass'
    return 'skipped'


def compare_suite(suite, checks, what, strict=False):
    checks = [dict(c, name=c.get('name', c.get('check'))) for c in checks]
    cases = list(suite)
    check([c.name for c in cases] == [c['name'] for c in checks], f'{what}: the cases are the checks, in order')
    counts = {'fail': 0, 'skipped': 0, 'error': 0}
    for case, c in zip(cases, checks):
        kind, message = outcome(case)
        want = expected_outcome(c, strict)
        check(kind == want, f'{what}: {c["name"]} is {kind}, the JSON says {want}')
        if kind == 'skipped' and c['expected'] is not None:
            reason = c['expected']['reason'] or c['reason']
            check(message == f'expected {c["verdict"]}: {reason}', f'{what}: {c["name"]}: skipped "{message}"')
        if kind == 'skipped' and c['expected'] is None:
            check(message == f'not applicable: {c["reason"]}', f'{what}: {c["name"]}: skipped "{message}"')
        if kind != 'pass':
            counts['fail' if kind in ('fail', 'warning') else kind] += 1
    check((suite.tests, suite.failures, suite.skipped, suite.errors) ==
          (len(checks), counts['fail'], counts['skipped'], counts['error']),
          f'{what}: suite counts {suite.tests}/{suite.failures}/{suite.skipped}/{suite.errors}')
    return counts


def totals(xml, suites):
    """<testsuites> counts are the sums of its suites'."""
    sums = [sum(getattr(s, k) for s in suites) for k in ('tests', 'failures', 'skipped', 'errors')]
    check([xml.tests, xml.failures, xml.skipped, xml.errors] == sums, f'testsuites counts {sums}')


def main():
    dxesim, source = sys.argv[1], sys.argv[2]
    boards = os.path.abspath(os.path.join(source, 'boards'))
    work = tempfile.mkdtemp(prefix='junit-')
    expected_warn = os.path.join(boards, 'uart-never-drains.toml')
    # The same board stating that spi.protect warns: its pass becomes an
    # outcome the board does not expect, a failure.
    planted = os.path.join(work, 'planted.toml')
    with open(planted, 'w') as f:
        f.write(f'[board]\nextends = "{expected_warn}"\nname = "planted"\n'
                '[expect]\n"spi.protect" = { verdict = "warn", reason = "planted: a warning" }\n')

    # boot: an expected warning is skipped with its reason (exit 0); a
    # planted unexpected outcome is a failure (exit 4).
    for board, status, failures in ((expected_warn, 0, 0), (planted, 4, 1)):
        xml_path, json_path = os.path.join(work, 'boot.xml'), os.path.join(work, 'boot.json')
        run(dxesim, ['boot', board, '--quiet', '--junit', xml_path, '--json', json_path], status, board)
        report = json.load(open(json_path))
        xml = JUnitXml.fromfile(xml_path)
        suites = list(xml)
        check(len(suites) == 1 and suites[0].name == report['board']['name'], f'{board}: one suite, the board')
        counts = compare_suite(suites[0], report['checks'], board)
        check(counts['fail'] == failures, f'{board}: {counts["fail"]} failures, expected {failures}')
        totals(xml, suites)
    protect = [c for suite in JUnitXml.fromfile(xml_path) for c in suite if c.name == 'spi.protect'][0]
    check(outcome(protect)[1] == 'got pass, the board expects warn (planted: a warning): the protect bit is set',
          f'planted failure message: {outcome(protect)[1]}')

    # boot --strict: the expected warning still skipped; exit 0.
    xml_path = os.path.join(work, 'strict.xml')
    run(dxesim, ['boot', expected_warn, '--quiet', '--strict', '--junit', xml_path], 0, 'strict boot')
    check(JUnitXml.fromfile(xml_path).failures == 0, 'strict: an expected warning is no failure')

    # sweep: one suite per boot, the unfailed one first, each like its JSON.
    xml_path, json_path = os.path.join(work, 'sweep.xml'), os.path.join(work, 'sweep.json')
    run(dxesim, ['sweep', planted, '--quiet', '--only', 'AllocatePool,CreateEventEx', '--junit', xml_path,
                 '--json', json_path], 4, 'sweep')
    result = json.load(open(json_path))
    xml = JUnitXml.fromfile(xml_path)
    suites = list(xml)
    boots = [result['baseline']] + result['boots']
    check(len(suites) == len(boots) and len(boots) > 2, f'sweep: {len(suites)} suites for {len(boots)} boots')
    check(suites[0].name == 'unfailed boot', 'sweep: the unfailed boot first')
    for suite, boot in zip(suites, boots):
        compare_suite(suite, boot['verdicts'], f'sweep {suite.name}')
    totals(xml, suites)

    # matrix: one suite per combination; each outcome's cases show its
    # example's checks, the expected ones with the platform model's reason.
    matrix = os.path.join(work, 'tiny.toml')
    with open(matrix, 'w') as f:
        f.write(f'[matrix]\nname = "tiny"\nbase = "{expected_warn}"\n'
                '[[axis]]\nkey = "platform.identity.system_id"\nvalues = [2040, 2041, 7]\n')
    xml_path, json_path = os.path.join(work, 'matrix.xml'), os.path.join(work, 'matrix.json')
    run(dxesim, ['matrix', matrix, '--quiet', '--jobs', '1', '--junit', xml_path, '--json', json_path], 0, 'matrix')
    result = json.load(open(json_path))
    xml = JUnitXml.fromfile(xml_path)
    suites = {s.name.split(':')[0]: s for s in xml}
    check(len(suites) == result['booted'] == 3, f'matrix: {len(suites)} suites for {result["booted"]} boots')
    for group in result['outcomes']:
        example = group['cases'][0]
        compare_suite(suites[f'case {example}'], group['verdicts'], f'matrix case {example}')
    totals(xml, list(xml))
    skipped = [outcome(c)[1] for s in xml for c in s if c.name == 'console']
    check(all(m and m.startswith('expected warn: ') and len(m) > len('expected warn: ') for m in skipped),
          f'matrix: the console warning is expected with the model\'s reason: {skipped}')

    if FAILURES:
        sys.exit(f'{FAILURES} check(s) failed')
    print('junit reports match the JSON of the same runs')


if __name__ == '__main__':
    main()
