"""The comparison logic of the benchmark (run by `make bench` before timing)."""
import pytest

from harness import AccuracyPoint, Case, Timing, compare_accuracy, measure, paired_ratio

P = AccuracyPoint


def test_rounds_rotate_and_every_case_runs_each_round():
    calls = []
    cases = [Case(name, "v", (lambda n=name: calls.append(n) or n), 1) for name in "abc"]
    timings = measure(cases, rounds=3, warmup=1)
    assert calls[:3] == ["a", "b", "c"]  # warm-up
    assert calls[3:] == ["a", "b", "c", "b", "c", "a", "c", "a", "b"]
    assert [len(t.per_option) for t in timings] == [3, 3, 3]
    assert [t.output for t in timings] == ["a", "b", "c"]


def test_ratio_is_paired_by_round_and_time_is_per_option():
    case = Case("x", "v", lambda: None, 4)
    a, b = Timing(case, [2.0, 9.0, 4.0]), Timing(case, [1.0, 3.0, 1.0])
    assert paired_ratio(a, b) == 3.0  # median of 2, 3, 4; the ratio of medians would be 4
    t = measure([Case("slow", "v", lambda: sum(range(20000)), 4)], rounds=1)[0]
    assert 0 < t.per_option[0] < 1e-2


@pytest.mark.parametrize("ours, theirs, lost", [
    # zub both cheaper and more accurate: every level won
    ([P("a", 1e-2, 1.0), P("b", 1e-3, 2.0)], [P("c", 5e-2, 3.0), P("d", 5e-3, 9.0)], 0),
    # the peer reaches 1e-4, which zub never does: that level is lost
    ([P("a", 1e-2, 1.0)], [P("c", 1e-4, 9.0)], 1),
    # at 5e-2 the peer's 0.5 beats zub's cheapest run within it (1.0)
    ([P("a", 1e-2, 1.0)], [P("c", 5e-2, 0.5), P("d", 1e-3, 0.9)], 3),
    # a cheap but inaccurate zub run does not count at a finer level
    ([P("a", 1e-1, 0.1), P("b", 1e-3, 5.0)], [P("c", 1e-2, 1.0)], 1),
])
def test_equal_accuracy_levels(ours, theirs, lost):
    verdicts = compare_accuracy(ours, theirs, "peer")
    assert len(verdicts) == len(ours) + len(theirs)
    assert sum(not v.zub_faster for v in verdicts) == lost
    assert [v.error for v in verdicts] == sorted((v.error for v in verdicts), reverse=True)


def test_equal_accuracy_picks_cheapest_run_within_level():
    verdicts = compare_accuracy([P("fine", 1e-4, 3.0), P("lucky", 1e-5, 2.0)], [P("peer", 1e-4, 2.5)], "peer")
    at = {v.error: v for v in verdicts}
    assert at[1e-4].ours.label == "lucky" and at[1e-4].zub_faster
    assert at[1e-5].theirs is None and at[1e-5].zub_faster
