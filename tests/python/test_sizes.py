import pytest
from marlix import parse_size

GIB = 2**30


@pytest.mark.parametrize(
    "text, expected",
    [
        ("25769803776", 25769803776),
        ("0", 0),
        ("512B", 512),
        ("1KiB", 1024),
        ("3MiB", 3 * 2**20),
        ("24GiB", 24 * GIB),
        ("24 GiB", 24 * GIB),
        ("  24GiB\n", 24 * GIB),
        ("2TiB", 2 * 2**40),
        ("1KB", 1000),
        ("80GB", 80 * 10**9),
        ("4TB", 4 * 10**12),
        ("1.5GiB", 3 * GIB // 2),
        ("0.5KB", 500),
        ("007MB", 7 * 10**6),
        ("18446744073709551615", 2**64 - 1),
    ],
)
def test_accepted_sizes(text, expected):
    assert parse_size(text) == expected


@pytest.mark.parametrize(
    "text, reason",
    [
        ("24G", "unknown unit 'G'"),
        ("24gib", "unknown unit 'gib'"),
        ("24 Gi B", "expected a byte count"),
        ("24  GiB", "expected a byte count"),
        ("", "expected a byte count"),
        ("GiB", "expected a byte count"),
        ("-1GiB", "expected a byte count"),
        ("1e9", "expected a byte count"),
        ("1.GiB", "expected a byte count"),
        (".5GiB", "expected a byte count"),
        ("1,5GiB", "expected a byte count"),
        ("٣GiB", "expected a byte count"),
        ("1.5", "not a whole number of bytes"),
        ("0.1KiB", "not a whole number of bytes"),
        ("18446744073709551616", "more than 18446744073709551615 bytes"),
        ("16777216TiB", "more than 18446744073709551615 bytes"),
    ],
)
def test_refused_sizes_name_the_text_and_the_reason(text, reason):
    with pytest.raises(ValueError) as caught:
        parse_size(text)
    message = str(caught.value)
    assert message.startswith(f"invalid size {text!r}: ")
    assert reason in message


def test_refusal_lists_the_accepted_units():
    with pytest.raises(ValueError, match=r"\(units: B, KiB, MiB, GiB, TiB, KB, MB, GB, TB\)"):
        parse_size("24G")
