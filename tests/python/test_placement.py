"""`place`: a roster across several cards, checked against a reading of the rule written here."""

import json
import random

import pytest
from marlix import place, plan
from samples import CARD, GIB, WORKED_ROSTER

MIB = 2**20

# --- the rule, read independently of the module ------------------------------------------


def reserve_bytes(total, pct):
    # pct % of the card (of its whole hundredths), never less than 1 GiB, never more than it.
    return min(max(pct * (total // 100), GIB), total)


def need_bytes(entry):
    # The camelCase spelling decides whenever it is present; a null or absent KV cache is 0.
    weights = entry["weightsBytes"] if "weightsBytes" in entry else entry["weights_bytes"]
    kv = entry["kvBytes"] if "kvBytes" in entry else entry.get("kv_bytes")
    return int(weights) + int(kv or 0)


def first_fit(total, pct, entries):
    """(admitted entries, [(rejected entry, needed, free)]) of one card, in roster order."""
    free = total - reserve_bytes(total, pct)
    admitted, rejected = [], []
    for entry in entries:
        need = need_bytes(entry)
        if need <= free:
            admitted.append(entry)
            free -= need
        else:
            rejected.append((entry, need, free))
    return admitted, rejected


def expected_placement(cards, pct, entries):
    """Per card (entries left to it, entries it admits), and the unplaced entries."""
    per_card, left, rejected = [], entries, []
    for total in cards:
        admitted, rejected = first_fit(total, pct, left)
        per_card.append((left, admitted))
        left = [entry for entry, _, _ in rejected]
    unplaced = [
        {"model": entry["model"], "needed_bytes": need, "short_bytes": need - free}
        for entry, need, free in rejected
    ]
    return per_card, unplaced


# --- random rosters and cards ------------------------------------------------------------

CARD_SIZES = [0, 512 * MIB, GIB, GIB + 1, 3 * GIB // 2, 8 * GIB, 24 * GIB, 80 * GIB]


def random_entry(rng, name):
    weights = rng.choice([0, rng.randrange(GIB), rng.randrange(24 * GIB), rng.randrange(120 * GIB)])
    entry = {"model": name}
    entry["weightsBytes" if rng.random() < 0.7 else "weights_bytes"] = (
        float(weights) if rng.random() < 0.1 else weights
    )
    kv = rng.choice([None, "absent", 0, rng.randrange(8 * GIB)])
    if kv != "absent":
        entry["kvBytes" if rng.random() < 0.7 else "kv_bytes"] = kv
    if rng.random() < 0.2:
        entry["note"] = rng.choice(["served by — ☃", {"nested": [1, 2.5, None]}, True])
    return entry


def random_case(seed):
    rng = random.Random(seed)
    count = rng.choice([0, 1, rng.randrange(2, 12), rng.randrange(12, 40)])
    # Half the rosters repeat names, which the plan alone does not tell apart.
    pool = ["x", "y", "zé"] if seed % 2 else [f"m{i}" for i in range(count)]
    roster = [random_entry(rng, rng.choice(pool) if seed % 2 else pool[i]) for i in range(count)]
    cards = [rng.choice([*CARD_SIZES, rng.randrange(64 * GIB)]) for _ in range(rng.randrange(1, 5))]
    return cards, rng.choice([0, 10, 10, 50, 100, rng.randrange(101)]), roster


@pytest.mark.parametrize("seed", range(80))
def test_each_card_plans_what_the_cards_before_it_rejected(seed):
    cards, pct, roster = random_case(seed)
    text = json.dumps(roster, indent=1)
    placement = place(cards, pct, text)
    per_card, unplaced = expected_placement(cards, pct, roster)

    assert [card.index for card in placement.cards] == list(range(len(cards)))
    for card, total, (left, admitted) in zip(placement.cards, cards, per_card):
        assert card.total_bytes == total
        assert card.entries == tuple(admitted)
        assert json.loads(card.roster_json) == left
        # Each card's document is the module's own plan of the entries left to it.
        assert card.plan_json == plan(total, pct, json.dumps(left))
        assert card.plan == json.loads(card.plan_json)
        assert card.plan["committed_bytes"] == sum(map(need_bytes, admitted))
    assert placement.cards[0].roster_json == text
    assert list(placement.unplaced) == unplaced
    for entry in roster:
        holders = [
            i for i, (_, admitted) in enumerate(per_card) if entry["model"] in names(admitted)
        ]
        assert placement.card_of(entry["model"]) == (holders[0] if holders else None)


def names(entries):
    return {entry["model"] for entry in entries}


# --- the edges ---------------------------------------------------------------------------

DUPLICATES = json.dumps(
    [
        {"model": "x", "weightsBytes": 12 * GIB},
        {"model": "x", "weightsBytes": 8 * GIB, "kvBytes": 4 * GIB},
        {"model": "y", "weightsBytes": 6 * GIB, "kvBytes": 4 * GIB},
    ]
)


@pytest.mark.parametrize("roster", [WORKED_ROSTER, "[]", DUPLICATES, " [ ] "])
@pytest.mark.parametrize("total, pct", [(CARD, 10), (GIB // 2, 10), (80 * GIB, 0)])
def test_one_card_is_the_plan(roster, total, pct):
    document = plan(total, pct, roster)
    placement = place([total], pct, roster)
    (card,) = placement.cards
    assert (card.plan_json, card.roster_json) == (document, roster)
    assert list(placement.unplaced) == [
        {key: rejected[key] for key in ("model", "needed_bytes", "short_bytes")}
        for rejected in json.loads(document)["rejected"]
    ]


def test_cards_left_nothing_are_planned_on_the_empty_roster():
    placement = place(
        [CARD, 8 * GIB, GIB // 2], 10, json.dumps([{"model": "a", "weightsBytes": 1}])
    )
    assert [card.roster_json for card in placement.cards[1:]] == ["[]", "[]"]
    assert [card.plan_json for card in placement.cards[1:]] == [
        plan(8 * GIB, 10, "[]"),
        plan(GIB // 2, 10, "[]"),
    ]
    assert placement.unplaced == ()


def test_a_model_larger_than_every_card_is_unplaced_with_its_shortfall_on_the_last():
    roster = json.dumps(
        [{"model": "huge", "weightsBytes": 100 * GIB}, {"model": "s", "weightsBytes": GIB}]
    )
    placement = place([80 * GIB, 24 * GIB], 10, roster)
    # 24 GiB less its 10 % reserve: 23192823406 bytes free when "huge" comes on the last card.
    assert placement.unplaced == (
        {"model": "huge", "needed_bytes": 100 * GIB, "short_bytes": 100 * GIB - 23192823406},
    )
    assert (placement.card_of("s"), placement.card_of("huge")) == (0, None)


def test_card_of_names_the_first_card_that_admitted_the_name():
    # The first "x" fits no card; a later, smaller "x" is admitted on the first card.
    roster = json.dumps(
        [
            {"model": "x", "weightsBytes": 30 * GIB},
            {"model": "y", "weightsBytes": 20 * GIB},
            {"model": "x", "weightsBytes": GIB},
        ]
    )
    placement = place([8 * GIB, 24 * GIB], 10, roster)
    assert [[e["weightsBytes"] for e in card.entries] for card in placement.cards] == [
        [GIB],
        [20 * GIB],
    ]
    assert [entry["model"] for entry in placement.unplaced] == ["x"]
    assert [placement.card_of(name) for name in ("x", "y", "nobody")] == [0, 1, None]


@pytest.mark.parametrize(
    "roster",
    ["[", "{}", '[{"model": "a"}, {"model": ""}]', '[{"model": "a", "weightsBytes": 1e400}]'],
)
def test_a_bad_roster_raises_the_module_error_of_the_first_card(roster):
    with pytest.raises(ValueError) as expected:
        plan(GIB, 10, roster)
    with pytest.raises(ValueError) as caught:
        place([GIB, 2 * GIB], 10, roster)
    assert caught.value.args == expected.value.args


def test_no_card_is_an_error():
    with pytest.raises(ValueError, match="^at least one card is needed$"):
        place([], 10, "[]")
