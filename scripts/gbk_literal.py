#!/usr/bin/env python3
"""Prints a UTF-8 text as a C++ string literal of its GBK bytes.

Used when a new program text is added: the sources hold GBK bytes as escapes, so they do not
depend on the compiler's source or execution character set.
Usage: gbk_literal.py 'text'   (\\r and \\n in the argument stand for CR and LF)
"""
import sys

def literal(text: str) -> str:
    out, prev_escape = ['"'], False
    for byte in text.encode('gbk'):
        ch = chr(byte)
        if byte >= 0x80:
            out.append('\\x%02X' % byte)
            prev_escape = True
            continue
        if prev_escape and ch in '0123456789abcdefABCDEF':
            out.append('" "')  # a hex digit right after \xNN would extend the escape
        prev_escape = False
        out.append({'\r': '\\r', '\n': '\\n', '"': '\\"', '\\': '\\\\'}.get(ch, ch))
    out.append('"')
    return ''.join(out)

if __name__ == '__main__':
    print(literal(sys.argv[1].replace('\\r', '\r').replace('\\n', '\n')))
