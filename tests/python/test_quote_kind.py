"""The escaping of an unknown observation kind, checked against Unicode's own data."""

import pathlib
import subprocess
import sys
import unicodedata

import _marlix
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
UCD = pathlib.Path("/usr/share/unicode")
TAIL = " — expected one of: load_started, probe_ok, probe_failed, process_exited, load_failed, stop"
ALWAYS_ESCAPED = {"Cc", "Cf", "Co", "Zl", "Zp", "Zs", "Mn", "Me"}
# Characters whose category Unicode has since changed to one that is not escaped: the
# interpreters of 3.9 and 3.10 (Unicode 13.0) still have the old one.
RECATEGORISED = {0x1734: "Mn until Unicode 14.0, Mc since"}


def quoted(fleet, kind):
    with pytest.raises(ValueError) as raised:
        fleet.observe("m", kind, "{}", 0)
    message = str(raised.value)
    assert message.startswith("unknown observation kind ") and message.endswith(TAIL)
    return message[len("unknown observation kind ") : -len(TAIL)]


@pytest.mark.skipif(not (UCD / "UnicodeData.txt").exists(), reason="Debian's unicode-data absent")
def test_committed_table_is_what_the_generator_makes(tmp_path):
    out = tmp_path / "unicode_table.inc"
    generator = ROOT / "tools" / "gen_unicode_table.py"
    subprocess.run([sys.executable, str(generator), str(UCD), str(out)], check=True)
    committed = ROOT / "src" / "fleet" / "unicode_table.inc"
    assert out.read_text("utf-8") == committed.read_text("utf-8")


def test_escapes_agree_with_the_interpreters_unicode_data():
    # The module's table may be of a newer Unicode version than the interpreter's, which has
    # mostly assigned more code points since: every character the interpreter knows to be a
    # control, format, private-use, separator or extending mark must be escaped.
    fleet = _marlix.Fleet(2**34, 10, "[]")
    wrong = []
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF or cp == 0x20 or cp in RECATEGORISED:
            continue
        category = unicodedata.category(chr(cp))
        if category not in ALWAYS_ESCAPED:
            continue
        text = quoted(fleet, chr(cp))
        simple = {0x09: '"\\t"', 0x0A: '"\\n"', 0x0D: '"\\r"', 0x00: '"\\0"'}
        expected = simple.get(cp, f'"\\u{{{cp:x}}}"')
        if text != expected:
            wrong.append((hex(cp), category, text))
    assert wrong == []


@pytest.mark.parametrize(
    ("kind", "expected"),
    [
        ("Probe_OK", '"Probe_OK"'),
        ("it's", '"it\'s"'),
        ('say "hi"\\', '"say \\"hi\\"\\\\"'),
        ("e\u0301t\u00e9", '"e\\u{301}t\u00e9"'),
        ("\u00a0\u2028\u2029\u3000", '"\\u{a0}\\u{2028}\\u{2029}\\u{3000}"'),
        ("\U000e0001\U0010fffd", '"\\u{e0001}\\u{10fffd}"'),
        ("\U0001f600 \u4e2d", '"\U0001f600 \u4e2d"'),
    ],
)
def test_quoted_kind(kind, expected):
    assert quoted(_marlix.Fleet(2**34, 10, "[]"), kind) == expected
