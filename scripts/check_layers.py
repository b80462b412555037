#!/usr/bin/env python3
"""Checks the direction of the layers: platform <- runtime <- libs <- monitor.

Every quoted include of a file under one layer must name a header of that layer or of a layer
below it: platform/ includes only platform/; runtime/ never libs/ or monitor/; libs/ never
monitor/. Prints each include that runs against them and exits with 1 when there is one.
Walks the folders itself (no git needed).
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ORDER = ['platform', 'runtime', 'libs', 'monitor']  # each may include those before it
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    faults = []
    for rank, layer in enumerate(ORDER):
        allowed = ORDER[:rank + 1]
        for folder, _, files in os.walk(os.path.join(ROOT, layer)):
            for name in sorted(files):
                if not name.endswith(('.cpp', '.h')):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding='utf-8', errors='replace') as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    top = included.split('/', 1)[0]
                    if top in ORDER and top not in allowed:
                        faults.append('%s: includes %s (%s may include only %s)' % (
                            os.path.relpath(path, ROOT), included, layer, ', '.join(allowed)))
    for fault in faults:
        print(fault)
    print('layers: %s' % ('%d includes against the layers' % len(faults) if faults else 'ok'))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
