#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause-Patent
"""The README's synopses name exactly the options each command's --help
lists: an option added to the tool and not to the README, or one the README
still shows after the tool dropped it, fails.

    check_readme_synopses.py DXESIM README
"""
import re, subprocess, sys

OPTION = re.compile(r'(?<![\w-])(-[a-zA-Z](?!\w)|--[a-z][a-z0-9-]*)')


def synopses(readme):
    """{command words: options} from the indented dxesim lines of the README."""
    out, current = {}, None
    for line in open(readme):
        if line.startswith('    dxesim '):
            words = []
            for word in line.split()[1:]:
                if not re.fullmatch(r'[a-z][a-z0-9]*', word):
                    break
                words.append(word)
            current = tuple(words)
            out.setdefault(current, set())
        elif current is not None and line.startswith('        ') and line.strip():
            pass  # a continuation line
        else:
            current = None
            continue
        out[current] |= set(OPTION.findall(line.split('dxesim', 1)[-1]))
    return out


def helpOptions(dxesim, words):
    """The options of --help, one tuple of names (short, long) per option."""
    run = subprocess.run([dxesim, *words, '--help'], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f'dxesim {" ".join(words)} --help exited {run.returncode}: {run.stderr}')
    options = []
    section = None
    for line in run.stdout.splitlines():
        if line.rstrip().endswith(':') and not line.startswith(' '):
            section = line.strip()
            continue
        if section == 'Options:' and line.startswith('  -'):
            names = tuple(line.split()[0].split(','))
            # An alias, and a name kept only to point at the right one,
            # are not what a synopsis shows.
            aside = re.search(r'\s(Refused:|The same as --)', line)
            if '--help' not in names and not aside:
                options.append(names)
    return options


def main():
    dxesim, readme = sys.argv[1], sys.argv[2]
    found = synopses(readme)
    if not found:
        sys.exit('no synopses found in ' + readme)
    wrong = []
    for words, shown in sorted(found.items()):
        if not words:  # `dxesim --version`
            continue
        listed = helpOptions(dxesim, words)
        name = 'dxesim ' + ' '.join(words)
        # Either the short or the long name will do.
        for names in listed:
            if not shown & set(names):
                wrong.append(f'{name}: {names[-1]} is in --help, not in the README')
        known = {n for names in listed for n in names}
        for option in sorted(shown - known):
            wrong.append(f'{name}: {option} is in the README, not in --help')
    if wrong:
        sys.exit('\n'.join(wrong))
    print(f'{len(found)} synopses match --help')


if __name__ == '__main__':
    main()
