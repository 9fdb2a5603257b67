"""The six workloads: what each library is asked to do, the timing, the
cross-checks that show the libraries computed the same thing, and the
targets."""
from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Callable, Sequence

import harness
import inputs
import peers
import zub_side
from harness import AccuracyPoint, Case, Timing, measure, paired_ratio
from inputs import Spec
from zub_side import MODES

QL, VOLLIB = "QuantLib", "py_vollib"
DEFAULT_GRID = (101, 10)
FINE_GRID = (401, 400)


@dataclass
class Row:
    label: str
    timings: dict[str, Timing] = field(default_factory=dict)  # by mode
    ratios: dict[str, float] = field(default_factory=dict)  # peer time / zub time, by mode


@dataclass
class Section:
    title: str
    rows: list[Row]


@dataclass
class Target:
    text: str
    measured: str
    met: bool


@dataclass
class Result:
    key: str
    title: str
    setup: list[str]
    sections: list[Section] = field(default_factory=list)
    checks: list[str] = field(default_factory=list)
    targets: list[Target] = field(default_factory=list)
    extra: dict = field(default_factory=dict)


@dataclass
class Settings:
    rounds: int = 31  # analytic workloads and the default grid
    fd_rounds: int = 11  # the 401x400 grid and the American implied volatility
    book: int = 200
    fd_book: int = 10
    fine_book: int = 3
    sweep: Sequence[tuple[int, int]] = ()
    reference: Sequence[tuple[int, int]] = ()
    sweep_rounds: int = 7
    american_rounds: int = 11  # the American accuracy set, every method
    batch_copies: int = 40  # copies of that set per array call


FULL = Settings(
    sweep=((51, 10), (101, 10), (101, 25), (201, 50), (401, 100), (401, 400), (801, 200), (801, 800), (1601, 800),
           (1601, 1600)),
    reference=((4001, 4000), (8001, 8000)),
)
QUICK = Settings(rounds=3, fd_rounds=2, book=20, fd_book=3, fine_book=1,
                 sweep=((51, 10), (101, 10), (201, 50)), reference=((401, 400), (801, 800)), sweep_rounds=2,
                 american_rounds=2, batch_copies=4)


def run_modes(rows: list[tuple[str, Callable[[str], Callable[[], object]]]], size: int, rounds: int) -> Section:
    """Times every row in every mode; the first row is zub, the baseline of
    the ratios.  `rows` pairs a label with a factory mode -> book runner."""
    out = [Row(label) for label, _ in rows]
    for mode in MODES:
        cases = [Case(label, mode, make(mode), size) for label, make in rows]
        timings = measure(cases, rounds)
        for row, t in zip(out, timings):
            row.timings[mode] = t
            row.ratios[mode] = paired_ratio(t, timings[0])
    return Section("", out)


def max_abs_diff(a: Sequence[Sequence[float]], b: Sequence[Sequence[float]]) -> list[float]:
    """Largest difference field by field, over the fields both rows have."""
    return [max(abs(x[i] - y[i]) for x, y in zip(a, b)) for i in range(min(len(a[0]), len(b[0])))]


def output(section: Section, label: str, mode: str = zub_side.PRICER):
    return next(r for r in section.rows if r.label == label).timings[mode].output


def vol_error(vols: Sequence[float], chain: Sequence[Spec]) -> float:
    return max(abs(v - c.vol) for v, c in zip(vols, chain))


def ratio_targets(section: Section, label: str, threshold: float, what: str) -> list[Target]:
    row = next(r for r in section.rows if r.label == label)
    return [Target(f"{what} ({mode})", f"{row.ratios[mode]:.1f}x", row.ratios[mode] >= threshold) for mode in MODES]


# ---------------------------------------------------------------------------
# 1. European price and five Greeks, analytic


def european_greeks(s: Settings) -> Result:
    book = inputs.european_book(s.book)
    res = Result("1", "European price, delta, gamma, theta, vega and rho (analytic)", [
        f"{len(book)} European options, calls and puts alternating over strikes 80 to 120; S=100, T=1, r=5 %, q=0, σ=20 %.",
        "Every library returns price and five Greeks per option; zub and QuantLib by their analytic Black–Scholes engine, "
        "py_vollib by `black_scholes` and the six functions of `greeks.analytical` (one call each).",
    ])
    sec = run_modes([
        ("zub", lambda m: zub_side.valuation(book, m)),
        (f"{QL} AnalyticEuropeanEngine", lambda m: peers.quantlib_valuation(book, m)),
        (VOLLIB, lambda m: peers.vollib_valuation(book)),
    ], len(book), s.rounds)
    sec.title = "Time per option"
    res.sections.append(sec)

    ours = output(sec, "zub")
    names = ("price", "delta", "gamma", "theta", "vega", "rho")
    for label, theirs in ((f"{QL} AnalyticEuropeanEngine", output(sec, f"{QL} AnalyticEuropeanEngine")),
                          (VOLLIB, [peers.vollib_to_zub_units(r) for r in output(sec, VOLLIB)])):
        diffs = max_abs_diff(ours, theirs)
        res.checks.append(f"largest difference zub − {label}: " + ", ".join(f"{n} {d:.1e}" for n, d in zip(names, diffs)))
    res.extra["breakdown"] = zub_side.boundary_breakdown()
    res.targets += ratio_targets(sec, f"{QL} AnalyticEuropeanEngine", 10.0, "≥10x faster than QuantLib")
    res.targets += ratio_targets(sec, VOLLIB, 3.0, "≥3x faster than py_vollib")
    return res


# ---------------------------------------------------------------------------
# 2. American put by finite differences at two grids


def american_fd(s: Settings) -> Result:
    res = Result("2", "American put by finite differences", [
        "American puts over strikes 90 to 110; S=100, T=1, r=5 %, q=0, σ=20 %; price, delta, gamma and theta read per option.",
        "Same grid for both: the same number of space nodes and of time steps; no damping steps. "
        "zub steps with TR-BDF2 on a sinh-stretched grid of ±4 standard deviations (its defaults); QuantLib's "
        "`FdBlackScholesVanillaEngine` on its own log-spot mesher, with its TR-BDF2 scheme (like for like) and with its "
        "default Douglas scheme.",
        "zub's 101x10 is its default table (no configuration attached); at 401x400 a `Config` with an `FdmConfig` "
        "is attached.",
        "Per time step TR-BDF2 (zub's, and QuantLib's) makes two tridiagonal solves; the Douglas scheme (Crank–Nicolson "
        "in one dimension) makes one.",
        "The engines' accuracy at these grids, against a converged price, is in workload 3 (at the money).",
    ])
    for grid, size, rounds in ((DEFAULT_GRID, s.fd_book, s.rounds), (FINE_GRID, s.fine_book, s.fd_rounds)):
        book = inputs.american_put_book(size)
        zgrid = None if grid == DEFAULT_GRID else grid
        tag = f"{grid[0]}x{grid[1]}"
        sec = run_modes([
            (f"zub {tag}", lambda m: zub_side.valuation(book, m, zgrid)),
            (f"{QL} FD TR-BDF2 {tag}", lambda m: peers.quantlib_valuation(book, m, grid, "TR-BDF2")),
            (f"{QL} FD Douglas {tag}", lambda m: peers.quantlib_valuation(book, m, grid, "Douglas")),
        ], len(book), rounds)
        sec.title = f"Grid {tag} ({len(book)} options per round)"
        res.sections.append(sec)
        ours = output(sec, f"zub {tag}")
        for scheme in ("TR-BDF2", "Douglas"):
            d = max_abs_diff(ours, output(sec, f"{QL} FD {scheme} {tag}"))
            res.checks.append(f"{tag}: largest difference zub − QuantLib {scheme}: price {d[0]:.1e}, delta {d[1]:.1e}, "
                              f"gamma {d[2]:.1e}, theta {d[3]:.1e}")
        res.targets += ratio_targets(sec, f"{QL} FD TR-BDF2 {tag}", 3.0, f"≥3x faster than QuantLib TR-BDF2 at {tag}")
        res.targets += ratio_targets(sec, f"{QL} FD Douglas {tag}", 3.0, f"≥3x faster than QuantLib Douglas at {tag}")
    return res


# ---------------------------------------------------------------------------
# 3. Equal accuracy


ATM_PUT = Spec(100.0, False, True)


def reference_price(s: Settings) -> tuple[float, list[str]]:
    """The converged American put price: both engines at the two finest grids
    of `s.reference`, each extrapolated with its observed order (the error of
    projected stepping falls linearly with the step), and the two averaged."""
    notes, estimates = [], []
    runs = {
        "zub": lambda g: zub_side.price_once(ATM_PUT, g),
        "QuantLib TR-BDF2": lambda g: peers.quantlib_price(ATM_PUT, g),
    }
    coarse, fine = s.reference
    for name, price in runs.items():
        a, b = price(coarse), price(fine)
        extrapolated = 2.0 * b - a
        estimates.append(extrapolated)
        notes.append(f"{name}: {coarse[0]}x{coarse[1]} {a:.6f}, {fine[0]}x{fine[1]} {b:.6f}, "
                     f"extrapolated {extrapolated:.6f}")
    ref = sum(estimates) / len(estimates)
    notes.append(f"reference {ref:.6f} (the two extrapolations differ by {abs(estimates[0] - estimates[1]):.1e})")
    return ref, notes


def equal_accuracy(s: Settings) -> Result:
    res = Result("3", "Equal accuracy: American put error against time", [
        "American put S=K=100, T=1, r=5 %, q=0, σ=20 %; error = |price − reference|.",
        "Both engines run on the same grid sizes (space nodes x time steps); each point's time is the median of "
        f"{s.sweep_rounds} interleaved rounds of one valuation (instrument and engine reused, a fresh valuation forced).",
        "An accuracy level is met by the cheapest run of a library whose error is at most that level; at each level "
        "reached by either library the two cheapest runs are compared.",
    ])
    ref, notes = reference_price(s)
    res.checks += notes
    curves: dict[str, list[AccuracyPoint]] = {"zub": [], "QuantLib TR-BDF2": [], "QuantLib Douglas": []}
    for grid in s.sweep:
        cases = [
            Case("zub", "sweep", zub_side.valuation([ATM_PUT], zub_side.PRICER, grid), 1),
            Case("QuantLib TR-BDF2", "sweep", peers.quantlib_valuation([ATM_PUT], zub_side.PRICER, grid, "TR-BDF2"), 1),
            Case("QuantLib Douglas", "sweep", peers.quantlib_valuation([ATM_PUT], zub_side.PRICER, grid, "Douglas"), 1),
        ]
        for t in measure(cases, s.sweep_rounds):
            dev = t.output[0][0] - ref
            curves[t.case.library].append(AccuracyPoint(f"{grid[0]}x{grid[1]}", abs(dev), t.median, dev))
    res.extra["reference"] = ref
    res.extra["curves"] = curves
    for peer in ("QuantLib TR-BDF2", "QuantLib Douglas"):
        verdicts = harness.compare_accuracy(curves["zub"], curves[peer], peer)
        res.extra[f"verdicts {peer}"] = verdicts
        lost = sum(not v.zub_faster for v in verdicts)
        res.targets.append(Target(f"less time than {peer} at every accuracy level",
                                  f"{len(verdicts) - lost} of {len(verdicts)} levels", lost == 0))
    return res


# ---------------------------------------------------------------------------
# 4. European implied volatility over a chain


def european_iv(s: Settings) -> Result:
    chain = inputs.european_chain(s.book)
    targets = [inputs.black_scholes(c) for c in chain]
    res = Result("4", f"Implied volatility, European, chain of {len(chain)} strikes (analytic)", [
        f"{len(chain)} out-of-the-money European options, strikes 70 to 130 (puts below spot, calls at and above); "
        f"target prices from the closed form at a skewed smile (σ {min(c.vol for c in chain):.1%} to "
        f"{max(c.vol for c in chain):.1%}); S=100, T=1, r=5 %, q=0.",
        "zub: Brent on [0.1, 5.0] with its default tolerance 1e-4 in price. QuantLib `VanillaOption.impliedVolatility`: "
        "the same bracket and evaluation limit, its default accuracy 1e-4 (in volatility). py_vollib: the rational "
        "algorithm (no tolerance to set). The accuracy each reached is checked below.",
        "QuantLib's `blackFormulaImpliedStdDev` (a function of floats, no instrument) is shown for information; "
        "the targets compare with `impliedVolatility`.",
    ])
    sec = run_modes([
        ("zub", lambda m: zub_side.implied_vol(chain, targets, m)),
        (f"{QL} impliedVolatility", lambda m: peers.quantlib_implied_vol(chain, targets, m)),
        (VOLLIB, lambda m: peers.vollib_implied_vol(chain, targets)),
        (f"{QL} blackFormulaImpliedStdDev", lambda m: peers.quantlib_black_formula_implied_vol(chain, targets)),
    ], len(chain), s.rounds)
    sec.title = "Time per option"
    res.sections.append(sec)
    for row in sec.rows:
        vols = output(sec, row.label)
        price_err = max(abs(inputs.black_scholes(c, v) - p) for v, c, p in zip(vols, chain, targets))
        res.checks.append(f"{row.label}: largest |σ − σ of the target| {vol_error(vols, chain):.1e}, "
                          f"largest repricing error (closed form) {price_err:.1e}")
    res.targets += ratio_targets(sec, f"{QL} impliedVolatility", 5.0, "≥5x faster than QuantLib")
    res.targets += ratio_targets(sec, VOLLIB, 1.0, "faster than py_vollib")
    return res


# ---------------------------------------------------------------------------
# 5. American implied volatility by finite differences


def american_iv(s: Settings) -> Result:
    chain = inputs.american_put_chain(s.fd_book)
    targets = [peers.quantlib_price(c, (801, 800)) for c in chain]
    res = Result("5", "Implied volatility, American put (finite differences, default grid)", [
        f"{len(chain)} American puts over strikes 85 to 115; target prices from QuantLib's TR-BDF2 engine on an 801x800 "
        "grid at a skewed smile; S=100, T=1, r=5 %, q=0.",
        "zub: its default table (finite differences, 101 nodes x 10 steps), Brent on [0.1, 5.0], tolerance 1e-4 in price.",
        "QuantLib, same grid: its Brent solver (accuracy 1e-4 in volatility, bracket [0.1, 5.0], started mid-bracket "
        "as QuantLib's own helper does) over the NPV of `FdBlackScholesVanillaEngine` on 101x10 with TR-BDF2, each "
        "option on its own volatility quote.",
        "QuantLib `impliedVolatility`: prices with an engine of its own choosing, 100x100 Douglas, whatever engine "
        "is attached; shown for information, not like for like.",
    ])
    sec = run_modes([
        ("zub", lambda m: zub_side.implied_vol(chain, targets, m)),
        (f"{QL} Brent, FD TR-BDF2 101x10", lambda m: peers.quantlib_brent_implied_vol(chain, targets, m, DEFAULT_GRID)),
        (f"{QL} impliedVolatility (100x100)", lambda m: peers.quantlib_implied_vol(chain, targets, m)),
    ], len(chain), s.fd_rounds)
    sec.title = "Time per option"
    res.sections.append(sec)
    ours = output(sec, "zub")
    for row in sec.rows:
        vols = output(sec, row.label)
        against_zub = "" if vols is ours else f", largest |σ − σ zub| {max(abs(v - z) for v, z in zip(vols, ours)):.1e}"
        res.checks.append(f"{row.label}: largest |σ − σ of the target| {vol_error(vols, chain):.1e}{against_zub}")
    res.targets += ratio_targets(sec, f"{QL} Brent, FD TR-BDF2 101x10", 5.0, "≥5x faster than QuantLib at the same grid")
    res.targets += ratio_targets(sec, f"{QL} impliedVolatility (100x100)", 5.0, "≥5x faster than QuantLib impliedVolatility")
    return res


# ---------------------------------------------------------------------------
# 6. American options: accuracy against time over a reference set

AMERICAN_GRIDS = ((101, 10), (201, 50), (401, 200), (801, 800))
TOLERANCES = (1e-4, 1e-6, 1e-8, 1e-10)
QDFP = ("fastScheme", "accurateScheme", "highPrecisionScheme")
FD, EB, QDFP_FAMILY = "zub finite differences", "zub exercise boundary", "QuantLib QdFp"
# Published premia of the American over the European price, S = K = 100,
# T = 1, q = 5 %, σ = 25 %, by rate (Andersen, Lake and Offengenden).
ALO_PREMIA = {0.05: 0.1069527028, 0.075: 0.3671112309}
AGREEMENT = 1e-11  # the two reference settings must agree within this fraction of the strike


def is_alo(c: inputs.AmericanCase) -> bool:
    return (c.spot == c.strike == 100.0 and c.days == 365 and c.carry == 0.05 and c.vol == 0.25
            and c.rate in ALO_PREMIA and not c.is_call)


def tolerance_label(tol: float) -> str:
    return f"tolerance 1e{round(math.log10(tol))}"


def american_references(cases: Sequence[inputs.AmericanCase]) -> tuple[list[inputs.AmericanCase], list[float], list[str]]:
    """The options whose two reference prices agree within AGREEMENT·K, the
    finer setting's prices, and notes on what was kept."""
    coarse, fine = (peers.quantlib_qdfp_reference(cases, st) for st in peers.QDFP_REFERENCE_SETTINGS)
    kept, prices, dropped, gap = [], [], [], 0.0
    for c, a, b in zip(cases, coarse, fine):
        if abs(a - b) <= AGREEMENT * c.strike:
            kept.append(c)
            prices.append(b)
            gap = max(gap, abs(a - b) / c.strike)
        else:
            dropped.append(f"{c} (settings differ by {abs(a - b) / c.strike:.1e}·K)")
    (m1, n1, e1), (m2, n2, e2) = peers.QDFP_REFERENCE_SETTINGS
    notes = [f"reference: QuantLib `QdFpAmericanEngine`, FP-A equation, `QdFpTanhSinhIterationScheme` "
             f"({m1}, {n1}, {e1:g}) and ({m2}, {n2}, {e2:g}); the second's prices. {len(kept)} of {len(cases)} "
             f"options kept, the two settings agreeing within {gap:.1e}·K"
             + (f"; dropped (differ by more than {AGREEMENT:g}·K): {'; '.join(dropped)}" if dropped else
                f" (none dropped: the limit is {AGREEMENT:g}·K)")]
    return kept, prices, notes


def american_accuracy(s: Settings) -> Result:
    cases, ref, notes = american_references(inputs.american_reference_set())
    res = Result("6", "American options: accuracy against time", [
        f"{len(cases)} American options, each on its own market: Longstaff–Schwartz's 20 puts (S 36 to 44, K 40, "
        "r 6 %, σ 0.2 and 0.4, T 1 and 2), Andersen–Lake–Offengenden's two at-the-money puts (q 5 %, σ 25 %, "
        "r 5 % and 7.5 %), ten 3-year calls with q 6 % > r 2 %, and options from 1 day to 10 years, σ 0.05 to 3, "
        "S/K 0.5 and 2, r = 0 or q = 0 (`inputs.american_reference_set`).",
        "Error = worst |price − reference| / K over the set; time = the whole set valued once, per option, "
        f"median of {s.american_rounds} interleaved rounds, every method in the same rounds.",
        "zub, object API with each option's builder reused (`option.valuation().market(frame).config(cfg).at(t)`, "
        "then `compute()` per round), price and the five Greeks read: finite differences at 101x10 (the default "
        "table, no configuration) and at larger grids (`FdmConfig`; vega and rho empty), the exercise boundary "
        "(`InstrumentPolicy().exercise_boundary(tolerance)`; all five Greeks). One more row shows the default grid "
        "with `fdm_vega_rho()`, vega and rho by bumping (five solves).",
        "QuantLib `QdFpAmericanEngine` with its three named schemes and default equation: price only "
        "(`recalculate()` then `NPV()`, instrument and engine made once).",
        "The reference (see the cross-checks) is QuantLib's QdFp engine at two finer tanh–sinh settings than its "
        "named schemes; `highPrecisionScheme()` is not fine enough to be one of them (its error is in its row).",
    ])
    res.checks += notes
    rows: list[tuple[str, str, Callable[[], object]]] = []
    for grid in AMERICAN_GRIDS:
        default = grid == DEFAULT_GRID
        label = f"{grid[0]}x{grid[1]}" + (" (default)" if default else "")
        rows.append((label, FD, zub_side.american_valuation(cases, None if default else zub_side.make_config(grid))))
    for tol in TOLERANCES:
        rows.append((tolerance_label(tol), EB, zub_side.american_valuation(cases, zub_side.boundary_config(tol))))
    for scheme in QDFP:
        rows.append((scheme, QDFP_FAMILY, peers.quantlib_qdfp(cases, scheme)))
    rows.append(("101x10 with fdm_vega_rho()", "", zub_side.american_valuation(cases, zub_side.bumped_vega_rho_config())))
    timings = measure([Case(family, label, run, len(cases)) for label, family, run in rows], s.american_rounds)
    by_label = {t.case.variant: t for t in timings}
    curves: dict[str, list[AccuracyPoint]] = {FD: [], EB: [], QDFP_FAMILY: []}
    worst_case: dict[str, str] = {}
    for t in timings:
        prices = [p if isinstance(p, float) else p[0] for p in t.output]
        devs = [(p - r) / c.strike for p, r, c in zip(prices, ref, cases)]
        i = max(range(len(devs)), key=lambda j: abs(devs[j]))
        worst_case[t.case.variant] = str(cases[i])
        if t.case.library in curves:
            curves[t.case.library].append(AccuracyPoint(t.case.variant, abs(devs[i]), t.median, devs[i]))
    for i, c in enumerate(cases):
        if is_alo(c):
            euro = peers.quantlib_european(c)
            zub_premium = by_label["tolerance 1e-10"].output[i][0] - euro
            res.checks.append(f"Andersen–Lake–Offengenden, r={c.rate:g}: premium over the European price, reference "
                              f"{ref[i] - euro:.10f}, zub at tolerance 1e-10 {zub_premium:.10f}, published "
                              f"{ALO_PREMIA[c.rate]:.10f} (reference − published {ref[i] - euro - ALO_PREMIA[c.rate]:+.1e})")
    res.extra["american"] = dict(timings=timings, curves=curves, worst=worst_case, size=len(cases),
                                 base=by_label["tolerance 1e-6"])

    # zub_batch against the object API, exercise boundary at 1e-6.
    config = zub_side.boundary_config(1e-6)
    n = len(cases) * s.batch_copies
    batch = measure([
        harness.single("zub_batch.value, 1 thread", zub_side.american_batch(cases, config, 1, s.batch_copies), n),
        Case("zub_batch.value, 2 threads", "", zub_side.american_batch(cases, config, 2, s.batch_copies), n),
        harness.single("object API (builder reused)", zub_side.american_valuation(cases, config), len(cases)),
    ], s.american_rounds)
    res.extra["american batch"] = (batch, s.batch_copies)
    obj = [o[0] for o in batch[2].output]
    res.checks.append(f"zub_batch.value − object API at tolerance 1e-6: largest price difference "
                      f"{max(abs(a - b) for a, b in zip(batch[0].output, obj)):.1e}")

    # Implied volatility of the reference quotes, default search and tolerance.
    found = zub_side.american_implied_vols(cases, ref, config)
    scaled = [abs(f[0] - c.vol) * f[1] / (1e-4 + 1e-6 * c.strike) for f, c in zip(found, cases) if f is not None]
    iv_worst = max(scaled)
    res.checks.append(f"implied volatility of the reference quotes at tolerance 1e-6, default search: {len(scaled)} of "
                      f"{len(cases)} options (the others in the exercise region or outside the bracket 0.1..5); "
                      f"largest |σ − σ of the quote|·vega / (1e-4 + 1e-6·K) {iv_worst:.2f}")

    def err(label):
        return next(p for c in curves.values() for p in c if p.label == label).error

    eb6, eb10, fd = by_label["tolerance 1e-6"], by_label["tolerance 1e-10"], by_label["101x10 (default)"]
    res.targets += [
        Target("exercise boundary, tolerance 1e-6: worst error ≤ 1e-6·K", f"{err('tolerance 1e-6'):.1e}·K",
               err("tolerance 1e-6") <= 1e-6),
        Target("exercise boundary, tolerance 1e-10: worst error ≤ 1e-9·K", f"{err('tolerance 1e-10'):.1e}·K",
               err("tolerance 1e-10") <= 1e-9),
        Target("tolerance 1e-6 no slower per option than finite differences 101x10 (default)",
               f"{paired_ratio(fd, eb6):.2f}x", paired_ratio(fd, eb6) >= 1.0),
        Target("tolerance 1e-6 ≥300x more accurate than finite differences 101x10 (default)",
               f"{err('101x10 (default)') / err('tolerance 1e-6'):.0f}x",
               err("101x10 (default)") / err("tolerance 1e-6") >= 300.0),
        Target("tolerance 1e-6 ≥5x faster than QdFp accurateScheme",
               f"{paired_ratio(by_label['accurateScheme'], eb6):.1f}x",
               paired_ratio(by_label["accurateScheme"], eb6) >= 5.0),
        Target("tolerance 1e-10 ≥5x faster than QdFp highPrecisionScheme",
               f"{paired_ratio(by_label['highPrecisionScheme'], eb10):.1f}x",
               paired_ratio(by_label["highPrecisionScheme"], eb10) >= 5.0),
        Target("implied vol of the reference quotes (default settings) within (1e-4 + 1e-6·K)/vega",
               f"{iv_worst:.2f} of the bound", iv_worst <= 1.0),
        Target("zub_batch.value one thread ≤0.95x the object API's time per option (tolerance 1e-6)",
               f"{paired_ratio(batch[0], batch[2]):.2f}x", paired_ratio(batch[0], batch[2]) <= 0.95),
        Target("zub_batch.value two threads ≥1.8x one thread (tolerance 1e-6)",
               f"{paired_ratio(batch[0], batch[1]):.2f}x", paired_ratio(batch[0], batch[1]) >= 1.8),
    ]
    return res


ALL_WORKLOADS = ("1", "2", "3", "4", "5", "6")


def run(s: Settings, which: Sequence[str] = ALL_WORKLOADS, log: Callable[[str], None] = print) -> list[Result]:
    results = []
    steps = {
        "1": lambda: european_greeks(s),
        "2": lambda: american_fd(s),
        "3": lambda: equal_accuracy(s),
        "4": lambda: european_iv(s),
        "5": lambda: american_iv(s),
        "6": lambda: american_accuracy(s),
    }
    for key in which:
        log(f"workload {key} ...")
        results.append(steps[key]())
    return results
