#!/usr/bin/env python3
"""webmon.exe asks for no Windows newer than its floor, and says so in its PE header.

Usage: windows_imports_test.py OBJDUMP WEBMON_EXE LIST
Reads the import table and the header's versions with the mingw toolchain's objdump -p and
compares them with LIST (tests/package/windows_imports.txt): every import must be listed, none
may be newer than the floor, and the header's OS and subsystem versions must both be the floor.
"""
import re
import subprocess
import sys


def version(text):
    return tuple(int(part) for part in text.split('.'))


def read_list(path):
    floor, listed = None, {}
    with open(path) as f:
        for line in f:
            line = line.split('#', 1)[0].strip()
            if not line:
                continue
            words = line.split()
            if words[0] == 'floor':
                floor = version(words[1])
            else:
                dll, function, since = words
                listed[(dll.lower(), function)] = version(since)
    return floor, listed


def read_exe(objdump, exe):
    text = subprocess.run([objdump, '-p', exe], stdout=subprocess.PIPE, check=True,
                          universal_newlines=True).stdout
    header = {name: int(value) for name, value in
              re.findall(r'^(M\w+(?:OSystem|Subsystem)Version)\s+(\d+)', text, re.M)}
    imports, dll, in_table = set(), None, False
    for line in text.splitlines():
        if line.startswith('The Import Tables'):
            in_table = True
        elif in_table and line.startswith('The '):
            break
        elif in_table and 'DLL Name:' in line:
            dll = line.split()[-1].lower()
        elif in_table and dll and re.match(r'^\t[0-9a-f]+\s+\d+\s+\S+', line):
            imports.add((dll, line.split()[2]))
    return header, imports


def main():
    objdump, exe, list_path = sys.argv[1:4]
    floor, listed = read_list(list_path)
    header, imports = read_exe(objdump, exe)
    faults = []
    if not imports:
        faults.append('no import table read from %s' % exe)
    for key in ('MajorOSystemVersion', 'MajorSubsystemVersion'):
        minor = key.replace('Major', 'Minor')
        seen = (header.get(key), header.get(minor))
        if seen != floor:
            faults.append('PE header %s.%s is %s, the floor is %s' % (key, minor, seen, floor))
    for dll, function in sorted(imports):
        since = listed.get((dll, function))
        if since is None:
            faults.append('%s %s: not in %s' % (dll, function, list_path))
        elif since > floor:
            faults.append('%s %s: needs Windows %s, above the floor %s' % (dll, function, since,
                                                                          floor))
    for fault in faults:
        print('FAIL', fault)
    print('%d imports, floor %s: %s' % (len(imports), '.'.join(map(str, floor)),
                                        'ok' if not faults else '%d faults' % len(faults)))
    sys.exit(1 if faults else 0)


if __name__ == '__main__':
    main()
