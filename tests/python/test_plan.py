"""`plan` end to end: the documents of the worked examples, byte for byte."""

import json

import _marlix
import pytest
from samples import CARD, GIB
from samples import WORKED_ROSTER as ROSTER

THREE_MODELS = (
    '{"admitted":["a","c"],"committed_bytes":16106127360,"declared":3,'
    '"explain":"2 of 3 admitted, 15.0 GiB committed of 21.6 GiB usable\\n'
    '  REJECTED b \u2014 needs 16.0 GiB, 11.6 GiB free, short by 4.4 GiB",'
    '"fits":false,"headroom_bytes":7086696046,"rejected":[{"free_bytes":12455405166,'
    '"model":"b","needed_bytes":17179869184,"short_bytes":4724464018}],'
    '"usable_bytes":23192823406}'
)
EMPTY = (
    '{"admitted":[],"committed_bytes":0,"declared":0,'
    '"explain":"0 of 0 admitted, 0.0 GiB committed of 21.6 GiB usable","fits":true,'
    '"headroom_bytes":23192823406,"rejected":[],"usable_bytes":23192823406}'
)


@pytest.mark.parametrize(("roster", "expected"), [(ROSTER, THREE_MODELS), ("[]", EMPTY)])
def test_worked_examples(roster, expected):
    result = _marlix.plan(CARD, 10, roster)
    assert type(result) is str
    assert result == expected
    assert result.encode() == expected.encode()


def test_keywords_in_any_order_equal_positional():
    by_keyword = _marlix.plan(declared_json=ROSTER, reserve_pct=10, total_bytes=CARD)
    assert by_keyword == _marlix.plan(CARD, 10, ROSTER)


@pytest.mark.parametrize(
    ("roster", "message"),
    [
        ("[", "bad json: EOF while parsing a list at line 1 column 1"),
        ("{}", "could not read the roster: expected an array of declared models"),
    ],
)
@pytest.mark.parametrize("callable_", [_marlix.plan, _marlix.Fleet])
def test_operation_errors_are_value_errors(callable_, roster, message):
    # plan and the Fleet constructor read a roster the same way and fail the same way.
    with pytest.raises(ValueError) as caught:
        callable_(CARD, 10, roster)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


def test_a_long_document_with_every_width_of_character():
    # Enough models for a document of many kilobytes, with names in one- to four-byte
    # characters and characters that JSON escapes; every third model does not fit.
    chars = ["m", "é", "—", "😀", '"', "\n"]
    models = []
    for i in range(3000):
        name = str(i) + "".join(chars[(i * 7 + j) % 6] for j in range(i % 41))
        models.append({"model": name, "weightsBytes": 0 if i % 3 else 64 * GIB})
    result = _marlix.plan(CARD, 10, json.dumps(models))

    doc = json.loads(result)
    assert result == json.dumps(doc, ensure_ascii=False, separators=(",", ":"))
    assert doc["admitted"] == [m["model"] for i, m in enumerate(models) if i % 3]
    rejected = [m["model"] for i, m in enumerate(models) if not i % 3]
    assert [r["model"] for r in doc["rejected"]] == rejected
    lines = doc["explain"].split("\n  REJECTED ")
    assert lines[0] == "2000 of 3000 admitted, 0.0 GiB committed of 21.6 GiB usable"
    expected_line = " \u2014 needs 64.0 GiB, 21.6 GiB free, short by 42.4 GiB"
    assert lines[1:] == [name + expected_line for name in rejected]


@pytest.mark.parametrize("early", ["a", "é", "ā", "😀"])
@pytest.mark.parametrize("late", ["z", "é", "ā", "😀"])
def test_a_document_many_times_its_roster(early, late):
    # Nearly every model is rejected, so the document holds each name twice with its long
    # lines: over a mebibyte, several times the roster. A character of each width comes first
    # among the admitted names, or late among the rejected ones, where the text so far is
    # already long.
    models = [{"model": "first" + early, "weightsBytes": 0}]
    models += [{"model": str(i), "weightsBytes": 64 * GIB} for i in range(8000)]
    models[-10]["model"] += late
    roster = json.dumps(models, ensure_ascii=False)
    result = _marlix.plan(CARD, 10, roster)

    assert len(result.encode()) > max(1 << 20, 3 * len(roster.encode()))
    doc = json.loads(result)
    assert result == json.dumps(doc, ensure_ascii=False, separators=(",", ":"))
    assert hash(result) == hash(json.dumps(doc, ensure_ascii=False, separators=(",", ":")))
    assert doc["admitted"] == ["first" + early]
    rejected = [m["model"] for m in models[1:]]
    assert [r["model"] for r in doc["rejected"]] == rejected
    expected_line = " \u2014 needs 64.0 GiB, 21.6 GiB free, short by 42.4 GiB"
    assert doc["explain"].split("\n  REJECTED ")[1:] == [name + expected_line for name in rejected]
