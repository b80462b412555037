#!/usr/bin/env python3
"""The layer check against trees that break each rule: a copy of this tree's layers with one
include planted, which the check must name; the tree as it is, which it must pass."""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHECK = os.path.join(ROOT, 'scripts', 'check_layers.py')
PLANTS = [  # (file, include line, whether the check passes it)
    ('libs/internet/http_session.cpp', '#include <curl/curl.h>', False),
    ('runtime/value.cpp', '#include <windows.h>', False),
    ('monitor/program.cpp', '#include <unistd.h>', False),
    ('runtime/value.cpp', '#include "libs/core/conversion.h"', False),
    ('libs/core/split.cpp', '#include <string_view>', True),
    ('platform/posix/url.cpp', '#include <curl/curl.h>', True),
]


def check(root):
    return subprocess.run([sys.executable, CHECK, root], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)


def main():
    failed = 0
    if check(ROOT).returncode != 0:
        print('check_layers test: FAILED: the tree itself does not pass')
        failed += 1
    for path, line, passes in PLANTS:
        tree = tempfile.mkdtemp(prefix='webmon-layers-')
        try:
            for layer in ('platform', 'runtime', 'libs', 'monitor'):
                shutil.copytree(os.path.join(ROOT, layer), os.path.join(tree, layer))
            with open(os.path.join(tree, path), 'a') as f:
                f.write('\n' + line + '\n')
            result = check(tree)
            named = path in result.stdout.decode()
            if (result.returncode == 0) != passes or named == passes:
                print('check_layers test: FAILED: %s in %s: exit %d, %s' % (
                    line, path, result.returncode, result.stdout.decode().strip()))
                failed += 1
        finally:
            shutil.rmtree(tree, ignore_errors=True)
    print('check_layers test: %d plants, %s' % (len(PLANTS), 'FAILED' if failed else 'ok'))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
