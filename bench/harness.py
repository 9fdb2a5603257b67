"""Timing and comparison machinery shared by the workloads.

Every workload pits several libraries against zub in one process.  The
libraries take turns inside each round (in a rotated order, so none always
runs first or last), and a ratio is formed per round from times taken a few
milliseconds apart; the reported ratio is the median of those per-round
ratios, the reported time the median of the per-round times.  Load from
other processes on the machine then slows both sides of a ratio alike.
"""
from __future__ import annotations

import gc
import math
import os
import platform
import statistics
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Sequence

ZUB = "zub"


@dataclass
class Case:
    """One library's way of doing a workload over a book of `size` options.

    `run` processes the whole book once and returns what it computed (used
    for the cross-checks, never timed separately).
    """

    library: str
    variant: str
    run: Callable[[], object]
    size: int
    note: str = ""
    # Times the book itself instead: returns (seconds, output).
    clock: Callable[[], tuple[float, object]] | None = None


@dataclass
class Timing:
    case: Case
    per_option: list[float] = field(default_factory=list)  # seconds, one per round
    output: object = None

    @property
    def median(self) -> float:
        return statistics.median(self.per_option)


def _timed(case: Case) -> tuple[float, object]:
    if case.clock is not None:
        seconds, out = case.clock()
        return seconds / case.size, out
    start = time.perf_counter_ns()
    out = case.run()
    elapsed = time.perf_counter_ns() - start
    return elapsed * 1e-9 / case.size, out


def measure(cases: Sequence[Case], rounds: int, warmup: int = 1) -> list[Timing]:
    """Times every case `rounds` times, interleaved round by round."""
    timings = [Timing(c) for c in cases]
    gc_was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(warmup):
            for t in timings:
                t.output = t.case.run()
        n = len(timings)
        for k in range(rounds):
            for j in range(n):
                t = timings[(j + k) % n]
                seconds, t.output = _timed(t.case)
                t.per_option.append(seconds)
    finally:
        if gc_was_enabled:
            gc.enable()
    return timings


CORES = sorted(os.sched_getaffinity(0))  # the cores this process may run on


def single(library: str, run: Callable[[], object], size: int, warm: bool = True) -> Case:
    """A single-threaded case, run on each core in every round with the
    calling thread pinned to it, its time per option the mean over the
    cores.  A virtual machine's host may slow one core for seconds at a time
    (see the section's head): a single-threaded time taken on whichever
    core the thread happens to be on would set the slow core against the
    fast one, or against both in the two-thread cases.  On each core an
    untimed run first brings the case's data into that core's caches
    (unless `warm` is false: a run of a second does not notice them)."""
    def on_each_core():
        seconds, out = 0.0, None
        try:
            for core in CORES:
                os.sched_setaffinity(0, {core})
                if warm:
                    run()
                start = time.perf_counter_ns()
                out = run()
                seconds += (time.perf_counter_ns() - start) * 1e-9
        finally:
            os.sched_setaffinity(0, CORES)
        return seconds, out

    return Case(library, "", lambda: on_each_core()[1], size * len(CORES), clock=on_each_core)


def paired_ratio(numerator: Timing, denominator: Timing) -> float:
    """Median over rounds of numerator time / denominator time."""
    return statistics.median(a / b for a, b in zip(numerator.per_option, denominator.per_option))


def spread(t: Timing) -> float:
    """Relative half-width of the interquartile range of the round times."""
    xs = sorted(t.per_option)
    if len(xs) < 4:
        return 0.0
    q1, _, q3 = statistics.quantiles(xs, n=4)
    return (q3 - q1) / 2 / statistics.median(xs)


# ---------------------------------------------------------------------------
# Equal-accuracy comparison


@dataclass(frozen=True)
class AccuracyPoint:
    label: str  # grid, e.g. "101x10"
    error: float  # absolute price error against the reference
    seconds: float  # median time per valuation
    deviation: float = math.nan  # price - reference, sign included


def cheapest_within(points: Sequence[AccuracyPoint], error: float) -> AccuracyPoint | None:
    """The fastest point whose error is at most `error`, or None."""
    good = [p for p in points if p.error <= error]
    return min(good, key=lambda p: p.seconds) if good else None


@dataclass(frozen=True)
class AccuracyVerdict:
    error: float  # accuracy level: a point of one library sets it
    owner: str  # which library's point set the level
    ours: AccuracyPoint | None
    theirs: AccuracyPoint | None

    @property
    def zub_faster(self) -> bool:
        if self.ours is None:
            return False
        return self.theirs is None or self.ours.seconds < self.theirs.seconds


def compare_accuracy(ours: Sequence[AccuracyPoint], theirs: Sequence[AccuracyPoint], peer: str) -> list[AccuracyVerdict]:
    """At every accuracy level reached by either library, the cheapest run of
    each that is at least that accurate.  A level that only one library
    reaches counts for that library."""
    levels = sorted({(p.error, ZUB) for p in ours} | {(p.error, peer) for p in theirs}, reverse=True)
    return [AccuracyVerdict(e, who, cheapest_within(ours, e), cheapest_within(theirs, e)) for e, who in levels]


# ---------------------------------------------------------------------------
# Machine description


def machine() -> dict[str, str]:
    info = {
        "python": platform.python_version(),
        "platform": platform.platform(),
        "cores": str(os.cpu_count()),
    }
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        load = os.getloadavg()
        info["load"] = " ".join(f"{x:.2f}" for x in load)
    except OSError:
        pass
    try:
        cc = subprocess.run(["c++", "--version"], capture_output=True, text=True, timeout=10).stdout
        info["compiler"] = cc.splitlines()[0] if cc else "unknown"
    except (OSError, subprocess.SubprocessError):
        info["compiler"] = "unknown"
    return info


def fmt_time(seconds: float) -> str:
    if not math.isfinite(seconds):
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs" if seconds < 1e-5 else f"{seconds * 1e6:.1f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.2f} ms" if seconds < 1e-2 else f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def splice(path: Path, new: str, start: str, end: str) -> None:
    """Writes `new` (which starts with `start` and ends with `end`) over the
    part of the file between those markers, or at its end."""
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    if start in text and end in text:
        before, rest = text.split(start, 1)
        text = before + new + rest.split(end, 1)[1].lstrip("\n")
    else:
        text = text.rstrip("\n") + "\n\n" + new
    path.write_text(text, encoding="utf-8")
