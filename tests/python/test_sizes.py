import pytest
from marlix import parse_size
from marlix.sizes import SizeHint

GIB = 2**30


@pytest.mark.parametrize(
    "text, expected",
    [
        ("25769803776", 25769803776),
        ("24", 24),
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
        ("24X", "unknown unit 'X'"),
        ("24GiBs", "unknown unit 'GiBs'"),
        ("24b", "unknown unit 'b'"),
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
        parse_size("24X")


@pytest.mark.parametrize(
    "text, message",
    [
        ("24G", "24G is not a size: did you mean 24GiB or 24GB?"),
        ("24g", "24g is not a size: did you mean 24GiB or 24GB?"),
        ("24gib", "24gib is not a size: did you mean 24GiB or 24GB?"),
        ("24Gb", "24Gb is not a size: did you mean 24GiB or 24GB?"),
        ("24Gi", "24Gi is not a size: did you mean 24GiB or 24GB?"),
        (" 24 G\n", "24 G is not a size: did you mean 24GiB or 24GB?"),
        ("1.5t", "1.5t is not a size: did you mean 1.5TiB or 1.5TB?"),
        ("512kb", "512kb is not a size: did you mean 512KiB or 512KB?"),
        ("640MIB", "640MIB is not a size: did you mean 640MiB or 640MB?"),
    ],
)
def test_a_unit_in_the_wrong_case_or_short_of_a_letter_is_refused_with_both_meanings(text, message):
    with pytest.raises(SizeHint) as caught:
        parse_size(text)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "text, of, message",
    [
        ("24", "card", "24 bytes is not a card: did you mean 24GiB?"),
        ("1", "card", "1 byte is not a card: did you mean 1GiB?"),
        ("1.5", "card", "1.5 bytes is not a card: did you mean 1.5GiB?"),
        ("1048575", "card", "1048575 bytes is not a card: did you mean 1048575GiB?"),
        ("8", "model", "8 bytes is not a model: did you mean 8GiB?"),
    ],
)
def test_a_bare_number_below_1_mib_is_refused_as_the_size_of_a_thing(text, of, message):
    with pytest.raises(SizeHint) as caught:
        parse_size(text, of=of)
    assert str(caught.value) == message


@pytest.mark.parametrize(
    "text, expected",
    [
        ("1048576", 2**20),
        ("0", 0),  # nothing is nothing in any unit
        ("512B", 512),  # a unit written says the count is meant
        ("24GiB", 24 * GIB),
    ],
)
def test_what_a_thing_may_be(text, expected):
    assert parse_size(text, of="card") == expected


def test_a_fraction_that_no_unit_makes_whole_gets_no_hint():
    with pytest.raises(ValueError, match="^invalid size '0.3': not a whole number of bytes$"):
        parse_size("0.3", of="card")
