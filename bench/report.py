"""RESULTS.md, the equal-accuracy plot and the American frontier."""
from __future__ import annotations

import datetime as dt
import os
from pathlib import Path
from typing import Sequence

from harness import AccuracyPoint, fmt_time, paired_ratio, spread
from workloads import Result, Section
from zub_side import MODES

PLOT_NAME = "accuracy.png"
FRONTIER_NAME = "american_frontier.png"
DOCS = Path(__file__).resolve().parent.parent / "docs"
FAMILY_STYLE = {"zub finite differences": ("tab:green", "s"), "zub exercise boundary": ("tab:blue", "o"),
                "QuantLib QdFp": ("tab:red", "^")}
COLOURS = {"zub": "tab:blue", "QuantLib TR-BDF2": "tab:red", "QuantLib Douglas": "tab:orange"}


def section_table(sec: Section) -> list[str]:
    head = "| library | " + " | ".join(f"{m} | ×zub" for m in MODES) + " |"
    rule = "|---|" + "---:|---:|" * len(MODES)
    lines = [head, rule]
    for row in sec.rows:
        cells = []
        for m in MODES:
            t = row.timings[m]
            noise = spread(t)
            cells.append(fmt_time(t.median) + (f" ±{noise:.0%}" if noise >= 0.1 else ""))
            cells.append("1" if row is sec.rows[0] else f"{row.ratios[m]:.1f}")
        lines.append(f"| {row.label} | " + " | ".join(cells) + " |")
    return lines


def accuracy_table(curves: dict[str, list[AccuracyPoint]]) -> list[str]:
    """Per grid and library: price − reference (signed) and time."""
    names = list(curves)
    lines = ["| grid | " + " | ".join(f"{n}: price − ref | time" for n in names) + " |",
             "|---|" + "---:|---:|" * len(names)]
    for i, p in enumerate(curves[names[0]]):
        cells = []
        for n in names:
            q = curves[n][i]
            cells += [f"{q.deviation:+.1e}", fmt_time(q.seconds)]
        lines.append(f"| {p.label} | " + " | ".join(cells) + " |")
    return lines


def verdict_table(verdicts) -> list[str]:
    lines = ["| error level | set by | zub: cheapest run | time | peer: cheapest run | time | zub faster |",
             "|---:|---|---|---:|---|---:|---|"]
    for v in verdicts:
        ours = (v.ours.label, fmt_time(v.ours.seconds)) if v.ours else ("not reached", "-")
        theirs = (v.theirs.label, fmt_time(v.theirs.seconds)) if v.theirs else ("not reached", "-")
        lines.append(f"| {v.error:.1e} | {v.owner} | {ours[0]} | {ours[1]} | {theirs[0]} | {theirs[1]} | "
                     f"{'yes' if v.zub_faster else 'no'} |")
    return lines


def frontier(points: Sequence[AccuracyPoint]) -> list[AccuracyPoint]:
    """The runs no cheaper run beats on accuracy, by increasing time."""
    out: list[AccuracyPoint] = []
    for p in sorted(points, key=lambda p: p.seconds):
        if not out or p.error < out[-1].error:
            out.append(p)
    return out


def plot(curves: dict[str, list[AccuracyPoint]], reference: float, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8.0, 5.2), dpi=110)
    for name, pts in curves.items():
        colour = COLOURS.get(name)
        ax.loglog([p.seconds * 1e3 for p in pts], [p.error for p in pts], "o", color=colour, label=name)
        best = frontier(pts)
        ax.loglog([p.seconds * 1e3 for p in best], [p.error for p in best], "-", color=colour, alpha=0.6)
        if name in ("zub", "QuantLib TR-BDF2"):
            below = name != "zub"
            for p in pts:
                ax.annotate(p.label, (p.seconds * 1e3, p.error), textcoords="offset points",
                            xytext=(4, -10 if below else 4), fontsize=7, color=colour)
    ax.set_xlabel("time per valuation from Python [ms]")
    ax.set_ylabel(f"|price − reference|   (reference {reference:.5f})")
    ax.set_title("American put S=K=100, T=1, r=5%, q=0, σ=20%: error against time\n"
                 "same grid sizes (nodes x steps) for both; lines join each library's best runs", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def american_table(extra: dict) -> list[str]:
    """Every method of the American accuracy workload: worst error, where, time."""
    base = extra["base"]
    lines = ["| family | method | worst error / K | price − ref at the worst | worst option | time per option | "
             "×tolerance 1e-6 |", "|---|---|---:|---:|---|---:|---:|"]
    points = {p.label: p for pts in extra["curves"].values() for p in pts}
    for t in extra["timings"]:
        label = t.case.variant
        p = points.get(label)
        noise = spread(t)
        time_cell = fmt_time(t.median) + (f" ±{noise:.0%}" if noise >= 0.1 else "")
        err = (f"{p.error:.1e}", f"{p.deviation:+.1e}·K") if p else ("-", "-")
        lines.append(f"| {t.case.library or 'zub, for information'} | {label} | {err[0]} | {err[1]} | "
                     f"{extra['worst'][label]} | {time_cell} | {paired_ratio(t, base):.2f} |")
    return lines


def american_batch_table(batch, copies: int) -> list[str]:
    lines = [f"**zub_batch.value against the object API, exercise boundary at tolerance 1e-6** ({copies} copies of "
             "the set per round, one call per rate and dividend yield with spot, volatility, strike, expiry and type "
             "as arrays; the object API over the set once; single-threaded ways run on each core in turn, "
             "pinned, as in the section on arrays)", "",
             "| way | time per option | ×first row |", "|---|---:|---:|"]
    for t in batch:
        lines.append(f"| {t.case.library} | {fmt_time(t.median)} | {paired_ratio(t, batch[0]):.2f} |")
    return lines


def plot_frontier(curves: dict[str, list[AccuracyPoint]], size: int, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8.0, 5.2), dpi=110)
    for name, pts in curves.items():
        colour, marker = FAMILY_STYLE[name]
        pts = sorted(pts, key=lambda p: p.seconds)
        xs, ys = [p.seconds * 1e6 for p in pts], [max(p.error, 1e-16) for p in pts]
        ax.loglog(xs, ys, "-", marker=marker, color=colour, label=name)
        for p, x, y in zip(pts, xs, ys):
            ax.annotate(p.label.replace("tolerance ", "").replace(" (default)", ""), (x, y),
                        textcoords="offset points", xytext=(5, 3), fontsize=7, color=colour)
    ax.set_xlabel("time per option from Python [µs]")
    ax.set_ylabel("worst |price − reference| / K")
    ax.set_title(f"American options, {size} cases: worst error against time\n"
                 "zub with price and five Greeks; QuantLib QdFp price only", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def frontier_path(out_dir: Path) -> Path:
    """docs/ when writing into bench/, else beside RESULTS.md."""
    here = Path(__file__).resolve().parent
    return DOCS / FRONTIER_NAME if out_dir.resolve() == here else out_dir / FRONTIER_NAME


def targets_table(results: Sequence[Result]) -> list[str]:
    missed = sum(not t.met for r in results for t in r.targets)
    lines = [f"{'All targets met' if not missed else f'{missed} target(s) missed'} in this run "
             "(each ratio target is checked in every mode).", "",
             "| workload | target | measured | met |", "|---|---|---:|---|"]
    for r in results:
        for t in r.targets:
            lines.append(f"| {r.key} | {t.text} | {t.measured} | {'yes' if t.met else '**no**'} |")
    return lines


def write(results: Sequence[Result], info: dict[str, str], versions: dict[str, str], out_dir: Path,
          rounds_note: str, elapsed: float, name: str = "RESULTS.md") -> Path:
    lines = [
        "# zub against its peers",
        "",
        "Written by `make bench` (bench/run.py); every number below comes from one run in one process.",
        "",
        f"Run on {dt.datetime.now(dt.timezone.utc):%Y-%m-%d %H:%M} UTC in {elapsed:.0f} s.",
        "",
        "## Machine and versions",
        "",
    ]
    lines += [f"- {k}: {v}" for k, v in info.items()]
    lines += [f"- {k}: {v}" for k, v in versions.items()]
    lines += ["", "## Targets", ""] + targets_table(results) + [
        "",
        "## How it is measured",
        "",
        "- Time per option = time for a whole book of options divided by its size, from Python, "
        "`time.perf_counter_ns`, garbage collector off while timing, one untimed warm-up round.",
        f"- {rounds_note} The libraries take turns inside every round, in a rotated order. "
        "Times are medians over the rounds; a ratio ×zub is the median over rounds of (peer time / zub time) "
        "in the same round, so that load from elsewhere on the machine slows both sides of it alike. "
        "±x% marks a time whose rounds spread (interquartile half-width) by 10 % or more.",
        "- ×zub above 1 means zub is faster by that factor.",
        "- Modes: **pricer reused**: market data and each option's pricing object (zub: the builder with market "
        "frame and valuation time attached; QuantLib: the instrument with its engine, forced to revalue by "
        "`recalculate()`) are made once, the loop values and reads the results; **market reused**: market data "
        "(and engine or configuration) made once, the option and its builder chain "
        "`option.valuation().market(frame).at(t).compute()` (QuantLib: instrument, `setPricingEngine`) per option; "
        "**all per option**: rate curve, volatility surface, market frame, configuration (QuantLib: quotes, term "
        "structures, process, engine) made per option too. py_vollib has no objects, so it runs the same code in "
        "every mode.",
        "- Same inputs for every library: S=100, r=5 % continuously compounded, q=0, T=1.0 exactly (valuation "
        "2025-01-02, expiry 2026-01-02, Actual/365 Fixed). zub is given timezone-aware datetimes, QuantLib dates "
        "made once outside the loop.",
        "",
    ]
    for r in results:
        lines += [f"## Workload {r.key}: {r.title}", ""]
        lines += [f"- {x}" for x in r.setup]
        lines.append("")
        for sec in r.sections:
            if sec.title:
                lines += [f"**{sec.title}**", ""]
            lines += section_table(sec)
            lines.append("")
        if "breakdown" in r.extra:
            lines += ["**Where zub's time goes**: each step of the valuation alone, per call, from Python "
                      "(best of 7 timeit runs; the steps add up to about the market-reused time).", "",
                      "| step | time |", "|---|---:|"]
            lines += [f"| {label} | {fmt_time(t)} |" for label, t in r.extra["breakdown"]]
            lines.append("")
        if "curves" in r.extra:
            lines += [f"![error against time]({PLOT_NAME})", ""]
            lines += accuracy_table(r.extra["curves"])
            lines.append("")
            for key, verdicts in r.extra.items():
                if key.startswith("verdicts "):
                    lines += [f"**Equal accuracy, zub against {key[len('verdicts '):]}**", ""]
                    lines += verdict_table(verdicts)
                    lines.append("")
        if "american" in r.extra:
            picture = os.path.relpath(frontier_path(out_dir), out_dir)
            lines += [f"![worst error against time]({picture})", ""]
            lines += american_table(r.extra["american"]) + [""]
            lines += american_batch_table(*r.extra["american batch"]) + [""]
        if r.checks:
            lines += ["Cross-checks:", ""] + [f"- {c}" for c in r.checks] + [""]
    path = out_dir / name
    path.write_text("\n".join(lines))
    for r in results:
        if "curves" in r.extra:
            plot(r.extra["curves"], r.extra["reference"], out_dir / PLOT_NAME)
        if "american" in r.extra:
            plot_frontier(r.extra["american"]["curves"], r.extra["american"]["size"], frontier_path(out_dir))
    return path

