#!/usr/bin/env python3
"""Times webmon.exe under wine beside the plain WinINet loop (bench/wininet_loop.cpp).

Usage: wine_measure.py BUILD_DIR [OTHER_WEBMON_EXE]
BUILD_DIR is a win32 build with benchmarks (build/win32). Starts nginx on loopback as
measure.py does, then, five rounds taking turns to go first, measures whole processes under wine:
one webmon.exe pass over the 1,000 small pages, from its start to its first
"Mission accomplished," line, beside the plain loop's process over the same list; then a pass
over one 64 MB text page beside the plain loop fetching it; then passes over a 50 MB body
behind lying lengths beside the same body with an honest one; then a pass over a page without end,
which the body limit ends. With OTHER_WEBMON_EXE (an earlier build, say), that one is measured in
the same rounds. Run it under a display (xvfb-run), as the tests are.
"""
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measure  # noqa: E402  (nginx and its pages)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_RUN = os.path.join(ROOT, 'scripts', 'wine-run')


def webmon_pass(exe, folder, urls):
    """Seconds from webmon.exe's start under wine to its first closing line."""
    return measure.timed_pass(exe, folder, urls, launcher=[WINE_RUN])[0]


def loop_process(build, listing, pages):
    start = time.monotonic()
    out = subprocess.run([WINE_RUN, os.path.join(build, 'bench', 'wininet_loop.exe'), listing],
                         stdout=subprocess.PIPE, check=True).stdout.split()
    seconds = time.monotonic() - start
    if int(out[0]) != pages:
        raise SystemExit('the plain loop read %s pages of %d' % (out[0], pages))
    return seconds


def rounds(steps):
    """Runs the steps ROUNDS times, each round starting with the next one."""
    for round_ in range(measure.ROUNDS):
        for i in range(len(steps)):
            steps[(i + round_) % len(steps)]()


def compare(what, exes, folder, urls, plain_loop, target):
    """Each webmon.exe's pass over urls beside the plain loop's process, taking turns."""
    passes = {exe: [] for exe in exes}
    plain = []
    rounds([lambda e=e: passes[e].append(webmon_pass(e, folder, urls)) for e in exes] +
           [lambda: plain.append(plain_loop())])
    p = statistics.median(plain)
    print('%s; plain WinINet loop process: %.3f s' % (what, p))
    for exe in exes:
        o = statistics.median(passes[exe])
        print('  %s: %.3f s, ratio %.3f (target <= %.2f)' % (exe, o, o / p, target))


def main():
    build = sys.argv[1]
    other = sys.argv[2] if len(sys.argv) > 2 else None
    with measure.serving('webmon-wine-bench-') as (folder, port):
        urls = ['http://127.0.0.1:%d/f/%d' % (port, i) for i in range(1000)]
        listing = os.path.join(folder, 'urls.txt')
        with open(listing, 'w') as f:
            f.write('\n'.join(urls) + '\n')
        webmon = os.path.join(build, 'webmon.exe')
        exes = [webmon] + ([other] if other else [])

        compare('pass of 1000 small pages', exes, folder, urls,
                lambda: loop_process(build, listing, 1000), 1.15)
        big = 'http://127.0.0.1:%d/big64' % port
        one = os.path.join(folder, 'one.txt')
        with open(one, 'w') as f:
            f.write(big + '\n')
        compare('pass over a 64 MB text page', exes, folder, [big],
                lambda: loop_process(build, one, 1), 1.5)

        for exe in exes:
            print(exe)
            measure.lying_lengths(exe, folder, [WINE_RUN])

        endless = 'http://127.0.0.1:%d/' % measure.start_endless()
        print('pass over a page without end (ended by the 256 MiB limit; the deadline is 300 s): '
              '%.1f s' % webmon_pass(webmon, folder, [endless]))

    for exe in exes:
        print(exe)
        measure.input_bound(exe, [WINE_RUN])


if __name__ == '__main__':
    main()
