"""The bench harness on known inputs: what every bench script's verdicts and
committed tables rest on (no clock is asserted on)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))

import harness  # noqa: E402


def test_median_spread_and_ratios_of_known_rounds():
    assert harness.median([3.0, 1.0, 2.0]) == 2.0
    assert harness.median([1.0, 2.0, 3.0, 4.0]) == 2.5
    assert harness.spread([90.0, 100.0, 110.0]) == pytest.approx(0.2)
    assert harness.ratios([2.0, 3.0], [1.0, 2.0]) == [2.0, 1.5]
    with pytest.raises(ValueError):
        harness.ratios([1.0], [1.0, 2.0])
    assert harness.ratio(3, 2) == 1.5
    assert harness.ratio("n/a", 2) is None
    assert harness.ratio(3, 0) is None
    assert harness.ratio(True, 1) is None
    assert harness.times(1, 4) == "0.25×"
    assert harness.times(None, 4) == "—"


def test_rounds_alternate_the_cases_and_take_turns_going_first():
    calls = []

    def case(name):
        def measure():
            calls.append(name)
            return float(len(calls))
        return measure

    cases = [(n, case(n)) for n in "abc"]
    got = harness.rounds(cases, 3, turns=True, before=lambda: calls.append("|"))
    assert "".join(calls) == "|abc|bca|cab"
    assert got == {"a": [2.0, 8.0, 11.0], "b": [3.0, 6.0, 12.0], "c": [4.0, 7.0, 10.0]}
    calls.clear()
    harness.rounds(cases, 2)
    assert "".join(calls) == "abcabc"


def test_bracketed_takes_the_floor_before_and_after():
    order = []
    floors = iter([1.0, 3.0])

    def floor():
        order.append("floor")
        return next(floors)

    def measure():
        order.append("measure")
        return 10.0

    assert harness.bracketed(measure, floor) == (10.0, 2.0)
    assert order == ["floor", "measure", "floor"]


def test_timed_loops_count_what_they_ran():
    calls = []
    timed = harness.run_for(calls.append, "x", seconds=3600.0, max_calls=100)
    assert timed.done == len(calls) == 100
    left = [1, 2, 3, 0]
    timed = harness.count_for(lambda: left.pop(0), seconds=3600.0, until_empty=True)
    assert timed.done == 6 and not left
    with pytest.raises(RuntimeError):
        harness.count_for(lambda: 0, seconds=3600.0)


def test_table_shape():
    lines = harness.table(["name", "rate"], [("a", 1), ("b", "2.5")], "lr")
    assert lines == ["| name | rate |", "|---|---:|", "| a | 1 |", "| b | 2.5 |"]
    with pytest.raises(ValueError):
        harness.table(["name", "rate"], [("a",)])
    with pytest.raises(ValueError):
        harness.table(["name"], [], "lr")


def test_reported_paths_name_no_directory_of_the_machine(tmp_path):
    inside = os.path.join(harness.REPO, "build", "bench", "tarnwick.abi3.so")
    assert harness.where(inside) == os.path.join("build", "bench", "tarnwick.abi3.so")
    outside = str(tmp_path / "tarnwick-bench-x")
    assert harness.where(outside) == "…/tarnwick-bench-x"
    assert str(tmp_path) not in harness.where(outside)
    assert harness.where(outside + os.sep) == "…/tarnwick-bench-x"
