#!/usr/bin/env python3
"""The operator guide's log reference against the programs' own texts.

Every line that robot-client and robot-client-cable can log (the format of
each log call in their sources) must be found in a row of the guide's
"Log reference", and every row there must still be a line the programs log:
an operator who greps the guide for a line finds it, and the guide tells of
no line that is gone. A conversion (%s, %d, ...) in the code stands for any
text; in the guide it is written as a word in capitals (N, TEXT, REASON) or
an ellipsis.

    log_reference_test.py SOURCE-ROOT
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
# The programs' sources: the socket library's UDP and bind helpers are not
# used by either program, so their lines are never printed.
sources = sorted(root.glob("client/*.cpp")) + [root / "net/tcp_connect.cpp"]
guide = (root / "docs/operator-guide.md").read_text()

LOG_CALL = re.compile(r'\b(?:CLIENT_LOG|CABLE_LOG|NET_LOG)\s*\(\s*[^,"]+,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)(?:,\s*(\w+))?')
# A text logged whole ("%s\n", kSomeCommand) is that constant's.
CONSTANT = re.compile(r'constexpr\s+(?:const\s+)?(?:char\s*\*|std::string_view)\s*(k\w+)\s*=\s*"((?:[^"\\]|\\.)*)"')
SNPRINTF = re.compile(r'snprintf\([^,]+,[^,]+,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ #0-9.*]*(?:l|ll|z|h)?[diouxXsceEfgGp]")
# A stand-in for a value in the guide: a word in capitals, or an ellipsis.
PLACEHOLDER = r"(?:[A-Z][A-Z0-9_-]*|…|\.\.\.)"


def formats():
    constants = {}
    for path in sorted(root.glob("client/*.h")) + sources:
        constants.update(CONSTANT.findall(path.read_text()))
    for path in sources:
        text = path.read_text()
        for call in LOG_CALL.finditer(text):
            fmt = "".join(LITERAL.findall(call.group(1)))
            fmt = fmt.encode().decode("unicode_escape").strip()
            if fmt == "%s" and call.group(2) in constants:
                fmt = constants[call.group(2)]
            if fmt == "%s" and call.group(2):
                # A text made by a function of ours: each text it formats.
                yield from made_by(call.group(2))
            elif fmt:
                yield path.name, fmt


def made_by(function):
    for path in sources:
        body = re.search(r"\n[^\n]*\b" + function + r"\([^;{]*\)\n\{\n(.*?)\n\}\n", path.read_text(), re.S)
        if body:
            for call in SNPRINTF.finditer(body.group(1)):
                fmt = "".join(LITERAL.findall(call.group(1))).encode().decode("unicode_escape")
                if fmt.strip("%s"):
                    yield path.name, fmt


def reference_lines():
    """The backquoted texts of the first column of the log reference's tables."""
    section = guide[guide.index("## Log reference"):]
    for row in section.splitlines():
        if not row.startswith("| `"):
            continue
        first = row.split(" | ")[0]
        yield from re.findall(r"`([^`]+)`", first)


def as_pattern(fmt):
    """The code's format as a pattern over the guide's texts."""
    parts = CONVERSION.split(fmt)
    return re.compile(PLACEHOLDER.join(re.escape(p) for p in parts) + r"|" +
                      r".*".join(re.escape(p) for p in parts))


def main():
    shown = list(reference_lines())
    missing = []
    used = set()
    for name, fmt in formats():
        pattern = as_pattern(fmt)
        hits = [line for line in shown if pattern.fullmatch(line)]
        if not hits:
            missing.append(f"{name}: {fmt!r}")
        used.update(hits)
    plain = {"N: up usb0", "N: down usb0", "create socket failed"}
    stale = [line for line in shown if line not in used and line not in plain]
    for line in missing:
        print(f"not in the log reference: {line}")
    for line in stale:
        print(f"in the log reference, but no program logs it: {line!r}")
    print(f"{len(shown) - len(stale)} passed, {len(missing) + len(stale)} failed")
    return 1 if missing or stale else 0


if __name__ == "__main__":
    sys.exit(main())
