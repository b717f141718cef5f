#!/usr/bin/env python3
"""The operator guide's log reference against the programs' own texts.

Every line that robot-client and robot-client-cable can log (the format of
each log call in their sources, or of each text that a function of theirs
makes for one) must be in a row of the guide's "Log reference", and every
row there must still be a line they log. A conversion (%s, %d, ...) in the
code stands for any text; in the guide, for a word in capitals (N, TEXT,
REASON) or an ellipsis.

    log_reference_test.py SOURCE-ROOT
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
# The socket library's UDP and bind helpers are used by neither program.
PROGRAMS = ("client", "cable", "link", "record")
sources = sorted(p for d in PROGRAMS for p in root.glob(f"{d}/*.cpp")) + [root / "net/tcp_connect.cpp"]
LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
LOG_CALL = re.compile(r'\b(?:CLIENT|CABLE|LINK|NET)_LOG\s*\(\s*[^,"]+,\s*' + LITERALS + r'(?:,\s*(\w+))?')
SNPRINTF = re.compile(r'snprintf\([^,]+,[^,]+,\s*' + LITERALS)
# A text logged whole ("%s\n", kSomeCommand) is that constant's.
CONSTANT = re.compile(r'constexpr\s+(?:const\s+)?(?:char\s*\*|std::string_view)\s*(k\w+)\s*=\s*"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ #0-9.*]*(?:l|ll|z|h)?[diouxXsceEfgGp]")
# A stand-in for a value in the guide: a word in capitals, or an ellipsis.
PLACEHOLDER = r"(?:[A-Z][A-Z0-9_-]*|…|\.\.\.)"


def text(literals):
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', literals)).encode().decode("unicode_escape")


def formats():
    constants = dict(c for p in sorted(p for d in PROGRAMS for p in root.glob(f"{d}/*.h")) + sources for c in CONSTANT.findall(p.read_text()))
    for path in sources:
        for call in LOG_CALL.finditer(path.read_text()):
            fmt, arg = text(call.group(1)).strip(), call.group(2)
            if fmt == "%s" and arg in constants:
                yield path.name, constants[arg]
            elif fmt == "%s" and arg:  # a text made by a function of ours: each one it formats
                for p in sources:
                    body = re.search(r"\n[^\n]*\b" + arg + r"\([^;{]*\)\n\{\n(.*?)\n\}\n", p.read_text(), re.S)
                    made = map(text, SNPRINTF.findall(body.group(1))) if body else []
                    yield from ((p.name, f) for f in made if f.strip("%s"))
            elif fmt:
                yield path.name, fmt


def main():
    section = (root / "docs/operator-guide.md").read_text().split("## Log reference", 1)[1]
    # The backquoted texts of the first column of its tables.
    rows = [row.split(" | ")[0] for row in section.splitlines() if row.startswith("| `")]
    shown = [t for row in rows for t in re.findall(r"`([^`]+)`", row)]
    missing, used = [], set()
    for name, fmt in formats():
        parts = [re.escape(p) for p in CONVERSION.split(fmt)]
        pattern = re.compile(PLACEHOLDER.join(parts) + "|" + ".*".join(parts))
        hits = {line for line in shown if pattern.fullmatch(line)}
        missing += [] if hits else [f"not in the log reference: {name}: {fmt!r}"]
        used |= hits
    # Lines that the code prints piece by piece.
    stale = [line for line in shown if line not in used | {"N: up usb0", "N: down usb0", "create socket failed"}]
    for line in missing + [f"in the log reference, but no program logs it: {line!r}" for line in stale]:
        print(line)
    print(f"{len(shown) - len(stale)} passed, {len(missing) + len(stale)} failed")
    return 1 if missing or stale else 0


if __name__ == "__main__":
    sys.exit(main())
