"""ValuationBuilder, OptionResult and Greeks."""
import datetime as dt
import os
import signal
import subprocess
import sys
import time

import pytest

import zub
from support import (DCC, T0, black_scholes, config, frame, option, policy, value)

GREEKS = ["delta", "gamma", "theta", "vega", "rho"]
FINE = zub.FdmConfig(time_steps=200, grid_nodes=801)


def fd_config(fdm_config=None):
    return config(policy("fdm", fdm_config=fdm_config))


@pytest.mark.parametrize("kind", ["call", "put"])
@pytest.mark.parametrize("S, K, days, vol, r, q", [
    (100.0, 100.0, 365, 0.2, 0.05, None),
    (120.0, 100.0, 730, 0.35, 0.01, 0.03),
    (80.0, 100.0, 90, 0.5, -0.01, 0.02),
    (100.0, 60.0, 1, 0.15, 0.10, 0.0),
])
def test_analytic_matches_closed_form(kind, S, K, days, vol, r, q):
    result = value(option(kind, "european", K, days), frame(S, r, vol, q))
    expected = black_scholes(kind, S, K, days / 365, vol, r, q or 0.0)
    assert result.price == pytest.approx(expected["price"], rel=1e-12, abs=1e-12)
    g = result.greeks
    assert [getattr(g, n) for n in GREEKS] == pytest.approx([expected[n] for n in GREEKS], rel=1e-10, abs=1e-12)


@pytest.mark.parametrize("kind", ["call", "put"])
def test_fd_converges_to_analytic(kind):
    frm = frame(105.0, 0.03, 0.25, q=0.01)
    exact, fd = value(option(kind), frm), value(option(kind), frm, fd_config(FINE))
    assert fd.price == pytest.approx(exact.price, abs=1e-4)
    assert fd.greeks.delta == pytest.approx(exact.greeks.delta, abs=1e-5)
    assert fd.greeks.gamma == pytest.approx(exact.greeks.gamma, abs=1e-6)
    assert fd.greeks.theta == pytest.approx(exact.greeks.theta, rel=1e-3)
    assert (fd.greeks.vega, fd.greeks.rho) == (None, None)


@pytest.mark.parametrize("spot", [80.0, 100.0, 120.0])
def test_american_put_is_worth_at_least_the_european(spot):
    frm = frame(spot, r=0.08, vol=0.3)
    american = value(option("put", "american"), frm, fd_config(FINE)).price
    european = value(option("put", "european"), frm, fd_config(FINE)).price
    assert american > european + 1e-3
    assert american >= 100.0 - spot


# Pins the default method table: finite differences for American, closed form for European.
def test_default_table_prices_american_by_fd_and_european_analytically():
    frm = frame()
    assert value(option("put", "american"), frm).greeks.vega is None
    assert isinstance(value(option("put", "european"), frm).greeks.vega, float)
    # The default American slot uses FdmConfig() settings.
    assert value(option("put", "american"), frm).price == value(option("put", "american"), frm,
                                                                 fd_config(zub.FdmConfig())).price


def test_dividends_move_fd_prices_only():
    divs = [(T0 + dt.timedelta(days=100), 2.0)]
    plain, with_divs = frame(), frame(dividends=divs)
    for kind in ("call", "put"):
        assert value(option(kind), plain).price == value(option(kind), with_divs).price
        fd_plain = value(option(kind), plain, fd_config()).price
        fd_divs = value(option(kind), with_divs, fd_config()).price
        assert (fd_divs < fd_plain) if kind == "call" else (fd_divs > fd_plain)


def test_two_dividends_on_one_date_equal_their_sum():
    ex = T0 + dt.timedelta(days=120)
    split = value(option("put", "american"), frame(dividends=[(ex, 1.0), (ex, 1.0)]))
    whole = value(option("put", "american"), frame(dividends=[(ex, 2.0)]))
    assert split.price == pytest.approx(whole.price, abs=1e-12)
    assert split.greeks.delta == pytest.approx(whole.greeks.delta, abs=1e-12)


def test_interpolated_curve_prices_with_its_zero_rate_at_expiry():
    rate = lambda r: zub.InterestRate(r, zub.Compounding.continuous(), DCC.ACT_365_FIXED)  # noqa: E731
    curve = zub.RateCurve.interpolated(T0.date(), [zub.Tenor.days(100), zub.Tenor.days(400)], [rate(0.01), rate(0.06)])
    days = 300
    at = dt.datetime.combine(T0.date(), dt.time(), dt.timezone.utc)
    opt = zub.VanillaOption(100.0, at + dt.timedelta(days=days), zub.OptionType.Call, zub.ExerciseStyle.European)
    r = curve.zero_rate(days / 365)
    assert 0.01 < r < 0.06
    result = value(opt, frame(curve=curve), at=at)
    assert result.price == pytest.approx(black_scholes("call", 100.0, 100.0, days / 365, 0.2, r)["price"], rel=1e-12)


# Pins the carry check of an American option priced in closed form: refused when r < q.
@pytest.mark.parametrize("q, r, fails", [(0.03, 0.05, False), (0.05, 0.05, False), (0.06, 0.05, True),
                                         (None, -0.01, True), (None, 0.0, False)])
def test_american_in_an_analytic_slot(PanicException, q, r, fails):
    opt, frm, cfg = option("call", "american"), frame(r=r, q=q), config(policy("analytic"))
    if fails:
        with pytest.raises(PanicException, match="^not implemented: American options with interest rate below "
                                                 "dividend yield have not been implemented$"):
            value(opt, frm, cfg)
    else:
        assert value(opt, frm, cfg).price == value(option("call", "european"), frm).price


def test_setters_return_the_builder_and_can_be_undone():
    opt = option("put", "american", days=365 * 60)
    builder = opt.valuation()
    assert type(builder) is zub.ValuationBuilder
    assert builder.market(frame()) is builder
    assert builder.config(config(policy("analytic"))) is builder
    assert builder.at(T0 + dt.timedelta(days=365 * 70)) is builder
    with pytest.raises(ValueError, match="expired"):
        builder.compute()
    assert builder.at(None) is builder and builder.at() is builder
    assert isinstance(builder.compute().greeks.vega, float)  # clock time, analytic config
    assert builder.config() is builder
    assert builder.compute().greeks.vega is None  # default table: finite differences
    assert zub.ValuationBuilder(instrument=opt).market(market_frame=frame()).compute().price == builder.compute().price


class FarFuture(dt.datetime):
    def timestamp(self):
        return 1e300


@pytest.mark.parametrize("call, exc, message", [
    (lambda b: b.compute(), ValueError, "Market data is required for valuation."),
    (lambda b: b.config(zub.Config()).at(T0).compute(), ValueError, "Market data is required for valuation."),
    (lambda b: b.market(frame(vol_dcc=DCC.ACT_360)).at(T0 + dt.timedelta(days=999)).compute(), ValueError,
     "Mismatched day count conventions: Rates use Actual365Fixed, while Vol uses Actual360. They must be identical."),
    (lambda b: b.at(dt.datetime(2025, 1, 1)), ValueError,
     "Evaluation time must have a timezone specified (e.g. New York or UTC)"),
    (lambda b: b.at(FarFuture(2025, 1, 1, tzinfo=dt.timezone.utc)), ValueError, "Invalid timestamp"),
    (lambda b: b.at(dt.date(2025, 1, 1)), TypeError,
     "argument 'valuation_time': 'date' object cannot be cast as 'datetime'"),
    (lambda b: b.market(zub.Config()), TypeError,
     "argument 'market_frame': 'Config' object cannot be cast as 'OptionMarketFrame'"),
    (lambda b: b.config(frame()), TypeError,
     "argument 'config': 'OptionMarketFrame' object cannot be cast as 'Config'"),
    (lambda b: zub.ValuationBuilder(3), TypeError,
     "argument 'instrument': 'int' object cannot be cast as 'VanillaOption'"),
    (lambda b: zub.ValuationBuilder(), TypeError,
     "ValuationBuilder.__new__() missing 1 required positional argument: 'instrument'"),
    (lambda b: b.market(), TypeError,
     "ValuationBuilder.market() missing 1 required positional argument: 'market_frame'"),
    (lambda b: b.compute(1), TypeError, "ValuationBuilder.compute() takes 0 positional arguments but 1 was given"),
    (lambda b: b.at(when=T0), TypeError, "ValuationBuilder.at() got an unexpected keyword argument 'when'"),
])
def test_messages(call, exc, message):
    builder = option("put").valuation()
    with pytest.raises(exc) as info:
        call(builder)
    assert str(info.value) == message


@pytest.mark.parametrize("style", ["american", "european"])
@pytest.mark.parametrize("days_after_expiry", [0, 1, 400])
def test_expired_options_are_refused(style, days_after_expiry):
    opt = option("put", style, days=30)
    with pytest.raises(ValueError, match="expired"):
        value(opt, frame(), at=T0 + dt.timedelta(days=30 + days_after_expiry))


def test_failed_setter_leaves_the_builder_unchanged():
    builder = option("call").valuation().market(frame()).at(T0)
    before = builder.compute().price
    with pytest.raises(ValueError):
        builder.at(dt.datetime(2025, 1, 1))
    with pytest.raises(TypeError):
        builder.market(None)
    assert builder.compute().price == before


@pytest.mark.parametrize("spot, strike, vol, r, text", [
    (100.0, 100.0, 0.2, 0.05, "<OptionResult price=10.4506>"),
    (103.0, 100.0, 1e-9, 0.0, "<OptionResult price=3.0000>"),
    (100.0, float("nan"), 0.2, 0.05, "<OptionResult price=NaN>"),
])
def test_result_representation(spot, strike, vol, r, text):
    result = value(option("call", strike=strike), frame(spot, r, vol))
    assert repr(result) == str(result) == text


def test_results_are_read_only_values():
    result = value(option("call"), frame())
    assert result.greeks is not result.greeks
    assert result.greeks.delta == result.greeks.delta
    assert [name for name in vars(zub.Greeks) if not name.startswith("_")] == GREEKS
    for cls in (zub.OptionResult, zub.Greeks):
        with pytest.raises(TypeError, match=f"^cannot create 'builtins.{cls.__name__}' instances$"):
            cls()
    with pytest.raises(AttributeError):
        result.price = 1.0


# Ctrl-C is sent to a child interpreter, so that a solve that never polls for
# signals fails the test by timing out instead of hanging the test run.
CHILD_PRELUDE = """
import datetime as dt, signal, sys, zub
from support import T0, config, frame, option, policy
HUGE = config(policy("fdm", fdm_config=zub.FdmConfig(time_steps=10**9)))
"""


def interrupt_child(body, delay=0.3):
    """Runs `body` in a child, sends SIGINT once it has started; (seconds to exit, stdout, stderr)."""
    code = CHILD_PRELUDE + "print('ready', flush=True)\n" + body
    child = subprocess.Popen([sys.executable, "-c", code], cwd=os.path.dirname(__file__),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        start = time.monotonic()
        out, err = child.communicate(timeout=10)
        return time.monotonic() - start, out, err
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("body", [
    "option('put', 'american').valuation().market(frame()).config(HUGE).at(T0).compute()",
    "option('put', 'american').implied_vol().market(frame()).config(HUGE).at(T0).price(9.0).calculate()",
])
def test_ctrl_c_ends_a_long_solve(body):
    elapsed, out, err = interrupt_child(body)
    assert err.rstrip().endswith("KeyboardInterrupt")
    assert elapsed < 2.0


def test_signal_handler_may_use_the_objects_while_an_engine_runs():
    body = """
frm, cfg = frame(), HUGE
builder = option('put', 'american').valuation().market(frm).config(cfg).at(T0)

def handler(signum, stack):
    builder.at(T0 + dt.timedelta(days=1)).config(None)  # exclusive borrows of the running builder
    frm.spot = 90.0                                     # copy-on-write of the record being priced
    cfg.add_policy(policy('analytic'))                  # replaces the table being used
    print(repr(builder.compute()), flush=True)          # a nested valuation with the new state
    raise KeyboardInterrupt

signal.signal(signal.SIGINT, handler)
try:
    builder.compute()
except KeyboardInterrupt:
    print('interrupted')
"""
    elapsed, out, err = interrupt_child(body)
    assert err == ""
    nested, last = out.splitlines()
    assert nested.startswith("<OptionResult price=") and last == "interrupted"
    assert elapsed < 2.0


@pytest.mark.parametrize("kind", ["call", "put"])
def test_finite_differences_give_vega_and_rho_on_request(kind):
    frm, asked = frame(q=0.01), zub.Config().fdm_vega_rho()
    assert value(option(kind, "american"), frm).greeks.vega is None  # not by default
    # European: the closed form's within 1 %; American: the boundary method's within 5 % on the default grid.
    for style, exact, rel in (("european", config(policy("analytic")), 0.01),
                              ("american", config(policy("exercise_boundary")), 0.05)):
        fd = value(option(kind, style), frm, config(policy("fdm")).fdm_vega_rho() if style == "european" else asked)
        ref = value(option(kind, style), frm, exact)
        assert fd.greeks.vega == pytest.approx(ref.greeks.vega, rel=rel)
        assert fd.greeks.rho == pytest.approx(ref.greeks.rho, rel=rel)
    with pytest.raises(ValueError, match="vega and rho bump must be finite and positive, got 0"):
        value(option(kind, "american"), frm, zub.Config().fdm_vega_rho(0.0))
