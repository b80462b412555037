#!/usr/bin/env python3
"""Checks the direction of the layers: platform <- runtime <- libs <- monitor.

    check_layers.py [ROOT]      the tree at ROOT (by default this one)

Every quoted include of a file under one layer must name a header of that layer or of a layer
below it: platform/ includes only platform/; runtime/ never libs/ or monitor/; libs/ never
monitor/. Only platform/ talks to the system: above it, an include in angle brackets names a
header of the C++ standard library, nothing else (no <windows.h>, no <curl/curl.h>). Prints
each include that runs against them and exits with 1 when there is one. Walks the folders
itself (no git needed).
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ORDER = ['platform', 'runtime', 'libs', 'monitor']  # each may include those before it
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SYSTEM_INCLUDE = re.compile(r'^\s*#\s*include\s+<([^>]+)>', re.M)
# The C++ standard library's headers (C++20), the C ones in their <cxxx> form.
STANDARD = set("""
algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono
cinttypes climits clocale cmath codecvt compare complex concepts condition_variable coroutine
csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque
exception execution filesystem format forward_list fstream functional future initializer_list
iomanip ios iosfwd iostream istream iterator latch limits list locale map memory memory_resource
mutex new numbers numeric optional ostream queue random ranges ratio regex scoped_allocator
semaphore set shared_mutex source_location span sstream stack stdexcept stop_token streambuf
string string_view syncstream system_error thread tuple type_traits typeindex typeinfo
unordered_map unordered_set utility valarray variant vector version
""".split())


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else ROOT
    faults = []
    for rank, layer in enumerate(ORDER):
        allowed = ORDER[:rank + 1]
        for folder, _, files in os.walk(os.path.join(root, layer)):
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
                            os.path.relpath(path, root), included, layer, ', '.join(allowed)))
                if layer == 'platform':
                    continue
                for included in SYSTEM_INCLUDE.findall(text):
                    if included not in STANDARD:
                        faults.append('%s: includes <%s> (only platform/ talks to the system)'
                                      % (os.path.relpath(path, root), included))
    for fault in faults:
        print(fault)
    print('layers: %s' % ('%d includes against the layers' % len(faults) if faults else 'ok'))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
