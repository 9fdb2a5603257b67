"""ImpliedVolBuilder: Brent's search over [0.1, 5.0] by the configured method."""
import datetime as dt
import re

import pytest

import zub
from support import DCC, T0, black_scholes, config, frame, option, policy, value

TOL = 1e-4


def solve(opt, frm, target, cfg=None, at=T0):
    return opt.implied_vol().market(frm).config(cfg).at(at).price(target).calculate()


def reprice(opt, vol, cfg=None, **market):
    return value(opt, frame(vol=vol, **market), cfg).price


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("strike, days, vol, q", [
    (100.0, 365, 0.25, None), (80.0, 30, 0.6, 0.02), (130.0, 730, 0.12, None), (100.0, 3650, 3.0, 0.01),
])
def test_analytic_round_trip(kind, strike, days, vol, q):
    opt = option(kind, "european", strike, days)
    target = reprice(opt, vol, q=q)
    found = solve(opt, frame(q=q), target)
    # Brent stops on |f| < tol or on a bracket narrower than tol in volatility,
    # so the price can miss the target by slightly more than tol (1.56e-4 for
    # the at-the-money one-year call at 0.25).
    assert reprice(opt, found, q=q) == pytest.approx(target, abs=2 * TOL)
    vega = black_scholes(kind, 100.0, strike, days / 365, vol, 0.05, q or 0.0)["vega"]
    assert found == pytest.approx(vol, abs=TOL + 2 * TOL / vega)


def test_american_fd_round_trip():
    opt = option("put", "american", 110.0)
    target = reprice(opt, 0.35)
    found = solve(opt, frame(), target)
    assert found == pytest.approx(0.35, abs=TOL)
    assert reprice(opt, found) == pytest.approx(target, abs=2 * TOL)


# Pins the solver's bracket ends, 0.1 and 5.0, returned as they are within the tolerance.
@pytest.mark.parametrize("end", [0.1, 5.0])
@pytest.mark.parametrize("offset", [0.0, 0.9 * TOL, -0.9 * TOL])
def test_target_at_either_end_returns_the_end(end, offset):
    opt = option("call")
    assert solve(opt, frame(), reprice(opt, end) + offset) == end


# Pins a rule of this library: the implied-volatility solve skips the closed form's carry check.
def test_american_in_an_analytic_slot_is_solved_without_the_carry_check():
    opt, cfg = option("call", "american"), config(policy("analytic"))
    target = black_scholes("call", 100.0, 100.0, 1.0, 0.3, 0.05, 0.08)["price"]
    assert solve(opt, frame(q=0.08), target, cfg) == pytest.approx(0.3, abs=1e-3)


def not_bracketed(text):
    m = re.fullmatch(r"Root is not bracketed\. f\(low\) = (\S+), f\(high\) = (\S+)\. "
                     r"Target price might be out of bounds\.", text)
    assert m, text
    return float(m.group(1)), float(m.group(2))


@pytest.mark.parametrize("target", [0.5, -1.0, 1e6])
def test_unreachable_targets_are_not_bracketed(target):
    opt = option("call", strike=90.0)
    with pytest.raises(ValueError) as info:
        solve(opt, frame(), target)
    lo, hi = not_bracketed(str(info.value))
    assert lo == pytest.approx(reprice(opt, 0.1) - target, rel=1e-15)
    assert hi == pytest.approx(reprice(opt, 5.0) - target, rel=1e-15)
    assert (lo > 0 and hi > 0) or (lo < 0 and hi < 0)


def test_nan_target_is_not_bracketed():
    with pytest.raises(ValueError) as info:
        solve(option("call"), frame(), float("nan"))
    assert str(info.value) == "Root is not bracketed. f(low) = NaN, f(high) = NaN. Target price might be out of bounds."


class Naive(dt.datetime):
    def utcoffset(self):
        return None


@pytest.mark.parametrize("call, exc, message", [
    (lambda b: b.calculate(), ValueError, "Market data is required for implied volatility solving."),
    (lambda b: b.price(1.0).config(zub.Config()).at(T0).calculate(), ValueError,
     "Market data is required for implied volatility solving."),
    (lambda b: b.market(frame(vol_dcc=DCC.ACT_360)).calculate(), ValueError,
     "Mismatched day count conventions: Rates use Actual365Fixed, while Vol uses Actual360. They must be identical."),
    (lambda b: b.market(frame()).calculate(), ValueError, "Target price must be set before calling solve()."),
    (lambda b: b.at(Naive(2025, 1, 1, tzinfo=dt.timezone.utc)), ValueError,
     "Evaluation time must have a timezone specified (e.g. New York or UTC)"),
    (lambda b: b.price("1"), TypeError, "argument 'target': must be real number, not str"),
    (lambda b: b.market(1), TypeError, "argument 'market_frame': 'int' object cannot be cast as 'OptionMarketFrame'"),
    (lambda b: b.config(1), TypeError, "argument 'config': 'int' object cannot be cast as 'Config'"),
    (lambda b: b.at(1), TypeError, "argument 'valuation_time': 'int' object cannot be cast as 'datetime'"),
    (lambda b: type(b)(1), TypeError, "argument 'instrument': 'int' object cannot be cast as 'VanillaOption'"),
    (lambda b: b.price(), TypeError, "ImpliedVolBuilder.price() missing 1 required positional argument: 'target'"),
    (lambda b: b.calculate(x=1), TypeError, "ImpliedVolBuilder.calculate() got an unexpected keyword argument 'x'"),
])
def test_messages(call, exc, message):
    builder = option("put", days=10).implied_vol()
    with pytest.raises(exc) as info:
        call(builder)
    assert str(info.value) == message


# Pins the order of the solve's checks: the target first, then the expiry.
@pytest.mark.parametrize("style", ["american", "european"])
def test_expired_options_are_refused_after_the_target_check(style):
    builder = option("put", style, days=10).implied_vol().market(frame()).at(T0 + dt.timedelta(days=10))
    with pytest.raises(ValueError, match="^Target price must be set"):
        builder.calculate()
    with pytest.raises(ValueError, match="expired"):
        builder.price(5.0).calculate()


def test_builder_class_and_setters():
    opt = option("call")
    builder = opt.implied_vol()
    cls = type(builder)
    assert cls.__name__ == "ImpliedVolBuilder" and cls.__module__ == "builtins"
    assert not hasattr(zub, "ImpliedVolBuilder")
    assert cls.__text_signature__ == "(instrument)"
    for step in (lambda b: b.price(1.0), lambda b: b.market(frame()), lambda b: b.config(None),
                 lambda b: b.config(zub.Config()), lambda b: b.at(T0), lambda b: b.at()):
        assert step(builder) is builder
    target = reprice(opt, 0.3)
    again = cls(instrument=opt).market(frame()).at(T0).price(1.0).price(target)
    assert again.calculate() == again.calculate() == solve(opt, frame(), target)
