"""Every constructor, static function, method, setter and builder step called
with generated arguments, many of them hostile.

Each call runs in a forked child (see hostile.isolated) and must return a
value of the right kind or raise TypeError, ValueError, OverflowError, the
hostile object's own error, or a documented PanicException; valuations may
also raise MemoryError for absurd grids.  The number of examples comes from
the hypothesis profile (conftest.py): `--hypothesis-profile=long` for a long run.
"""
import copy
import datetime as dt
import pickle
import weakref

import pytest
from hypothesis import given, strategies as st

import zub
from hostile import (DCC, SAMPLES, T0, any_dates, any_datetimes, aware_datetimes, check_isolated, counts, floats,
                     instances, isolated, junk, mixed, near_datetimes, sequence_of)

ADVANCE_PANICS = ("`NaiveDate + Months` out of range", "`NaiveDate + TimeDelta` overflowed")
ENGINE_PANICS = ("TridiagonalOperator requires at least 3 elements, found ",
                 "not implemented: American options with interest rate below dividend yield")

CONVENTIONS = [DCC.ACT_360, DCC.ACT_365_FIXED, DCC.ACT_ACT.ISDA, DCC.THIRTY_360.US_ISDA,
               DCC.THIRTY_360.EUROBOND_ISMA, DCC.THIRTY_360.GERMAN_ISDA]
FREQUENCIES = [zub.Frequency.Annual, zub.Frequency.SemiAnnual, zub.Frequency.Quarterly, zub.Frequency.Monthly]
conventions = mixed(st.sampled_from(CONVENTIONS))
frequencies = mixed(st.sampled_from(FREQUENCIES))
option_types = mixed(st.sampled_from([zub.OptionType.Call, zub.OptionType.Put]))
exercise_styles = mixed(st.sampled_from([zub.ExerciseStyle.American, zub.ExerciseStyle.European]))
valid_compoundings = st.one_of(st.sampled_from([zub.Compounding.simple(), zub.Compounding.continuous()]),
                               st.sampled_from(FREQUENCIES).map(zub.Compounding.compounded),
                               st.sampled_from(FREQUENCIES).map(zub.Compounding.simple_then_compounded))
compoundings = mixed(valid_compoundings)
tenors = st.builds(lambda unit, n: getattr(zub.Tenor, unit)(n), st.sampled_from(["days", "weeks", "months", "years"]),
                   st.integers(-(2**31), 2**31 - 1))
rates = st.builds(zub.InterestRate, st.floats(), valid_compoundings, st.sampled_from(CONVENTIONS))
two_nodes = [zub.Tenor.months(6), zub.Tenor.years(2)]
curves = st.one_of(st.builds(zub.RateCurve.flat, rates),
                   st.builds(zub.RateCurve.continuous, st.floats(), st.sampled_from(CONVENTIONS)),
                   st.builds(lambda ref, r: zub.RateCurve.interpolated(ref, two_nodes, r),
                             st.dates(dt.date(1900, 1, 1), dt.date(2200, 1, 1)),
                             st.lists(rates, min_size=2, max_size=2)))
surfaces = st.one_of(
    st.builds(zub.VolSurface.flat, st.floats(), st.sampled_from(CONVENTIONS)),
    st.builds(lambda v: zub.VolSurface.term_structure(dt.date(2025, 1, 2), two_nodes, v, DCC.ACT_365_FIXED),
              st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=2, max_size=2)),
    st.builds(lambda th, psi, rho: zub.VolSurface.ssvi(100.0, [0.5, 1.0], [101.0, 102.0], th, psi, rho,
                                                       DCC.ACT_365_FIXED),
              *[st.lists(x, min_size=2, max_size=2) for x in (st.floats(1e-6, 4.0), st.floats(0, 5),
                                                              st.floats(-0.99, 0.99))]))
options = st.builds(zub.VanillaOption, st.floats(), near_datetimes,
                    st.sampled_from([zub.OptionType.Call, zub.OptionType.Put]),
                    st.sampled_from([zub.ExerciseStyle.American, zub.ExerciseStyle.European]))
schedules = st.builds(zub.DividendSchedule, st.lists(st.tuples(near_datetimes, st.floats()), max_size=3))
frames = st.builds(zub.OptionMarketFrame, st.floats(), curves, surfaces, st.one_of(st.none(), schedules),
                   st.one_of(st.none(), curves))
transforms = st.one_of(st.just(zub.TransformConfig.log()), st.builds(zub.TransformConfig.sinh, st.floats()))
fdm_configs = st.builds(zub.FdmConfig, st.one_of(st.none(), st.integers(0, 2**64 - 1)),
                        st.one_of(st.none(), st.integers(0, 2**64 - 1)), st.one_of(st.none(), st.floats()),
                        st.one_of(st.none(), transforms))


def is_a(cls):
    return lambda v: type(v) is cls


def is_float(v):
    return type(v) is float


# ---------------------------------------------------------------------------
# The surface, one row per callable: (name, callable strategy, parameters,
# result check, documented panics).  A parameter is (name, strategy,
# optional); arguments are passed positionally or by keyword at random.

def method(objects, name):
    return objects.map(lambda o: getattr(o, name))


SELF = "returns its receiver"
OPTION = next(o for o in SAMPLES if type(o) is zub.VanillaOption)
IV_BUILDER = type(OPTION.implied_vol())


def is_iv_builder(v):
    return type(v) is IV_BUILDER


SURFACE = [
    *[(f"Tenor.{unit}", st.just(getattr(zub.Tenor, unit)), [("n", counts, False)], is_a(zub.Tenor), ())
      for unit in ("days", "weeks", "months", "years")],
    ("Tenor.advance", method(tenors, "advance"), [("from", any_dates, False)], is_a(dt.date), ADVANCE_PANICS),
    ("PeriodCalculator.days_between", st.just(zub.PeriodCalculator.days_between),
     [("start", any_dates, False), ("end", any_dates, False), ("convention", conventions, False)], is_a(int), ()),
    ("PeriodCalculator.year_fraction", st.just(zub.PeriodCalculator.year_fraction),
     [("start", any_datetimes, False), ("end", any_datetimes, False), ("convention", conventions, False)],
     is_float, ()),
    ("Compounding.simple", st.just(zub.Compounding.simple), [], is_a(zub.Compounding), ()),
    ("Compounding.continuous", st.just(zub.Compounding.continuous), [], is_a(zub.Compounding), ()),
    ("Compounding.compounded", st.just(zub.Compounding.compounded), [("freq", frequencies, False)],
     is_a(zub.Compounding), ()),
    ("Compounding.simple_then_compounded", st.just(zub.Compounding.simple_then_compounded),
     [("freq", frequencies, False)], is_a(zub.Compounding), ()),
    ("InterestRate", st.just(zub.InterestRate),
     [("rate", floats, False), ("compounding", compoundings, False), ("dcc", conventions, False)],
     is_a(zub.InterestRate), ()),
    ("InterestRate.discount_factor", method(rates, "discount_factor"), [("t", floats, False)], is_float,
     ("not yet implemented",)),
    ("RateCurve.flat", st.just(zub.RateCurve.flat), [("rate", mixed(rates), False)], is_a(zub.RateCurve), ()),
    ("RateCurve.continuous", st.just(zub.RateCurve.continuous),
     [("rate", floats, False), ("day_count_convention", conventions, False)], is_a(zub.RateCurve), ()),
    ("RateCurve.interpolated", st.just(zub.RateCurve.interpolated),
     [("reference_date", any_dates, False), ("tenors", sequence_of(mixed(tenors)), False),
      ("rates", sequence_of(mixed(rates)), False)], is_a(zub.RateCurve), ADVANCE_PANICS),
    ("RateCurve.zero_rate", method(curves, "zero_rate"), [("t", floats, False)], is_float, ()),
    ("RateCurve.discount_factor", method(curves, "discount_factor"), [("t", floats, False)], is_float,
     ("not yet implemented",)),
    ("VolSurface.flat", st.just(zub.VolSurface.flat), [("vol", floats, False), ("day_count", conventions, False)],
     is_a(zub.VolSurface), ()),
    ("VolSurface.term_structure", st.just(zub.VolSurface.term_structure),
     [("reference_date", any_dates, False), ("tenors", sequence_of(mixed(tenors)), False),
      ("vols", sequence_of(floats), False), ("day_count", conventions, False)], is_a(zub.VolSurface), ADVANCE_PANICS),
    ("VolSurface.ssvi", st.just(zub.VolSurface.ssvi),
     [("spot", floats, False), ("expiries", sequence_of(floats), False), ("forwards", sequence_of(floats), False),
      ("thetas", sequence_of(floats), False), ("psis", sequence_of(floats), False),
      ("rhos", sequence_of(floats), False), ("day_count", conventions, False)], is_a(zub.VolSurface), ()),
    ("VolSurface.volatility", method(surfaces, "volatility"), [("strike", floats, False), ("t", floats, False)],
     is_float, ()),
    ("DividendSchedule", st.just(zub.DividendSchedule),
     [("raw_divs", sequence_of(mixed(st.tuples(any_datetimes, floats), weight=4)), False)],
     is_a(zub.DividendSchedule), ()),
    ("OptionMarketFrame", st.just(zub.OptionMarketFrame),
     [("spot", floats, False), ("rate_curve", mixed(curves), False), ("vol_surface", mixed(surfaces), False),
      ("dividends", mixed(schedules), True), ("borrow_curve", mixed(curves), True)],
     is_a(zub.OptionMarketFrame), ()),
    ("VanillaOption", st.just(zub.VanillaOption),
     [("strike", floats, False), ("expiry_time", any_datetimes, False), ("option_type", option_types, False),
      ("exercise_style", exercise_styles, False)], is_a(zub.VanillaOption), ()),
    ("VanillaOption.years_to_expiry", method(options, "years_to_expiry"), [("valuation_date", any_datetimes, True)],
     is_float, ()),
    ("VanillaOption.valuation", method(options, "valuation"), [], is_a(zub.ValuationBuilder), ()),
    ("VanillaOption.implied_vol", method(options, "implied_vol"), [], is_iv_builder, ()),
    ("TransformConfig.sinh", st.just(zub.TransformConfig.sinh), [("alpha", floats, False)],
     is_a(zub.TransformConfig), ()),
    ("TransformConfig.log", st.just(zub.TransformConfig.log), [], is_a(zub.TransformConfig), ()),
    ("FdmConfig", st.just(zub.FdmConfig),
     [("time_steps", counts, True), ("grid_nodes", counts, True), ("grid_std_devs", floats, True),
      ("transform", mixed(transforms), True)], is_a(zub.FdmConfig), ()),
    ("InstrumentPolicy.fdm", st.builds(lambda: zub.InstrumentPolicy().fdm), [("fdm_config", mixed(fdm_configs), True)],
     SELF, ()),
    ("InstrumentPolicy.exercise_boundary", st.builds(lambda: zub.InstrumentPolicy().exercise_boundary),
     [("tolerance", floats, True)], SELF, ()),
    ("Config.fdm_vega_rho", st.builds(lambda: zub.Config().fdm_vega_rho), [("bump", floats, True)], SELF, ()),
    ("Config.implied_vol_solver", st.builds(lambda: zub.Config().implied_vol_solver),
     [("method", mixed(st.one_of(st.sampled_from(["brent", "bisection", "exact"]), st.text())), False),
      ("tolerance", floats, True), ("max_iterations", mixed(st.integers(0, 2**64 - 1)), True),
      ("low", floats, True), ("high", floats, True)], SELF, ()),
    ("Config.add_policy", st.builds(lambda: zub.Config().add_policy),
     [("policy", instances(zub.InstrumentPolicy), False)], SELF, ()),
    ("ValuationBuilder", st.just(zub.ValuationBuilder), [("instrument", mixed(options), False)],
     is_a(zub.ValuationBuilder), ()),
    ("ImpliedVolBuilder", st.just(IV_BUILDER), [("instrument", mixed(options), False)], is_iv_builder, ()),
    *[(f"{kind}.{step}", method(st.builds(make), step), [(param, strategy, optional)], SELF, ())
      for kind, make in (("ValuationBuilder", OPTION.valuation), ("ImpliedVolBuilder", OPTION.implied_vol))
      for step, param, strategy, optional in (("market", "market_frame", mixed(frames), False),
                                              ("config", "config", instances(zub.Config), True),
                                              ("at", "valuation_time", any_datetimes, True))],
    ("ImpliedVolBuilder.price", method(st.builds(OPTION.implied_vol), "price"), [("target", floats, False)], SELF,
     ()),
]

# Members exercised by the tests further down rather than by the table.
ELSEWHERE = {"InstrumentPolicy.put", "InstrumentPolicy.call", "InstrumentPolicy.american",
             "InstrumentPolicy.european", "InstrumentPolicy.analytic", "ValuationBuilder.compute",
             "ImpliedVolBuilder.calculate"}


@st.composite
def arguments(draw, params):
    """Positional and keyword arguments for `params`; now and then an
    argument is left out, doubled or added, to exercise the binding errors."""
    args, kwargs, positional = [], {}, True
    for name, strategy, optional in params:
        how = draw(st.sampled_from(["pos", "kw", "kw", "omit" if optional else "kw", "none" if optional else "pos"]))
        if draw(st.integers(0, 30)) == 0:
            how = "omit"
        if how == "omit":
            positional = False
            continue
        value = None if how == "none" else draw(strategy)
        if how == "pos" and positional:
            args.append(value)
        else:
            positional = False
            kwargs[name] = value
    extra = draw(st.integers(0, 30))
    if extra == 0:
        args.append(draw(junk))
    elif extra == 1:
        kwargs[draw(st.sampled_from(["x", "n", "self", "strike"]))] = draw(junk)
    return args, kwargs


ROWS = {row[0]: row[1:] for row in SURFACE}


@pytest.mark.parametrize("name", list(ROWS))
@given(data=st.data())
def test_call_with_generated_arguments(name, data):
    target, params, returns, panics = ROWS[name]
    fn = data.draw(target, label="callable")
    args, kwargs = data.draw(arguments(params), label="arguments")
    if returns is SELF:
        returns = lambda v: v is fn.__self__  # noqa: E731
    check_isolated(lambda: fn(*args, **kwargs), returns, panics)


def test_every_method_and_static_function_is_fuzzed():
    covered = {row[0] for row in SURFACE} | ELSEWHERE
    classes = [getattr(zub, name) for name in zub.__all__] + [IV_BUILDER]
    members = {f"{cls.__name__}.{name}" for cls in classes for name, attr in vars(cls).items()
               if not name.startswith("_") and callable(attr) and not isinstance(attr, type)}
    assert members - covered == set()


# ---------------------------------------------------------------------------
# Setters, getters and chains on live objects

FRAME_VALUES = {
    "spot": floats, "rate_curve": mixed(curves), "vol_surface": mixed(surfaces),
    "dividends": st.one_of(st.none(), mixed(schedules)), "borrow_curve": st.one_of(st.none(), mixed(curves)),
}


@given(frame=frames, writes=st.lists(st.sampled_from(sorted(FRAME_VALUES)).flatmap(
    lambda k: st.tuples(st.just(k), st.one_of(FRAME_VALUES[k], st.just("<delete>")))), max_size=4))
def test_frame_setters_and_getters(frame, writes):
    def run():
        for prop, value in writes:
            try:
                if value == "<delete>":
                    delattr(frame, prop)
                else:
                    setattr(frame, prop, value)
            except (TypeError, ValueError, OverflowError, AttributeError):
                pass
        got = [frame.spot, frame.rate_curve, frame.vol_surface, frame.dividends, frame.borrow_curve]
        expected = [float, zub.RateCurve, zub.VolSurface, zub.DividendSchedule, (zub.RateCurve, type(None))]
        return all(isinstance(v, t) for v, t in zip(got, expected))

    check_isolated(run, lambda ok: ok is True)


POLICY_STEPS = ["put", "call", "american", "european", "analytic", "fdm"]


@given(steps=st.lists(st.tuples(st.sampled_from(POLICY_STEPS), mixed(fdm_configs)), max_size=6),
       adds=st.integers(0, 3))
def test_policy_chains_return_the_policy(steps, adds):
    def run():
        policy, config = zub.InstrumentPolicy(), zub.Config()
        for step, arg in steps:
            try:
                same = (policy.fdm(arg) if step == "fdm" else getattr(policy, step)()) is policy
            except TypeError:
                same = step == "fdm"
            if not same:
                return False
        return all(config.add_policy(policy) is config for _ in range(adds))

    check_isolated(run, lambda ok: ok is True)


@given(obj=st.sampled_from(SAMPLES), other=st.sampled_from(SAMPLES + [object, type("Plain", (), {"__slots__": ()})]))
def test_generic_protocols_fail_cleanly(obj, other):
    """repr, int, copying, pickling, weak references and __class__ assignment
    on every kind of object: a value or an exception, never a crash."""
    def run():
        for action in (repr, int, copy.copy, copy.deepcopy, pickle.dumps, weakref.ref, vars,
                       lambda o: setattr(o, "__class__", other), lambda o: setattr(o, "extra", 1),
                       lambda o: o.__reduce_ex__(2)):
            try:
                action(obj)
            except (TypeError, AttributeError, pickle.PicklingError, ValueError):
                pass
        return type(repr(obj)) is str

    check_isolated(run, lambda ok: ok is True)


# ---------------------------------------------------------------------------
# Valuations and implied volatilities on extreme inputs

small_fdm = st.builds(zub.FdmConfig, st.one_of(st.none(), st.integers(0, 40)),
                      st.one_of(st.none(), st.integers(0, 401), st.sampled_from([2**40, 2**63, 2**64 - 1])),
                      st.one_of(st.none(), st.floats()), st.one_of(st.none(), transforms))
methods = st.one_of(st.just(None), st.just("analytic"), small_fdm,
                    st.tuples(st.just("exercise_boundary"), st.one_of(st.none(), st.floats(), st.sampled_from([1e-4, 1e-10]))))


@st.composite
def configs(draw):
    if draw(st.booleans()):
        return None
    config = zub.Config()
    for _ in range(draw(st.integers(0, 3))):
        policy = zub.InstrumentPolicy()
        for step in draw(st.lists(st.sampled_from(POLICY_STEPS[:4]), max_size=3)):
            getattr(policy, step)()
        method = draw(methods)
        if method == "analytic":
            policy.analytic()
        elif isinstance(method, tuple):
            policy.exercise_boundary(method[1])
        elif method is not None:
            policy.fdm(method)
        config.add_policy(policy)
    if draw(st.booleans()):
        config.fdm_vega_rho(draw(st.one_of(st.none(), st.floats(), st.just(1e-3))))
    if draw(st.booleans()):
        config.implied_vol_solver(draw(st.sampled_from(["brent", "bisection", "exact", "other"])),
                                  draw(st.one_of(st.none(), st.floats())), draw(st.one_of(st.none(), st.integers(0, 50))),
                                  draw(st.one_of(st.none(), st.floats())), draw(st.one_of(st.none(), st.floats())))
    return config


pricing_frames = st.builds(
    zub.OptionMarketFrame, st.one_of(st.floats(), st.floats(1.0, 1000.0)),
    st.one_of(curves, st.builds(zub.RateCurve.continuous, st.floats(-0.1, 0.2), st.just(DCC.ACT_365_FIXED))),
    st.one_of(surfaces, st.builds(zub.VolSurface.flat, st.floats(0.01, 2.0), st.just(DCC.ACT_365_FIXED))),
    st.one_of(st.none(), schedules), st.one_of(st.none(), curves))
pricing_options = st.builds(zub.VanillaOption, st.one_of(st.floats(), st.floats(1.0, 1000.0)),
                            st.one_of(near_datetimes, aware_datetimes),
                            st.sampled_from([zub.OptionType.Call, zub.OptionType.Put]),
                            st.sampled_from([zub.ExerciseStyle.American, zub.ExerciseStyle.European]))
valuation_times = st.one_of(st.none(), st.just(T0), near_datetimes, aware_datetimes)


def is_result(r):
    g = r.greeks
    return (type(r) is zub.OptionResult and type(r.price) is float and type(repr(r)) is str
            and all(type(v) is float for v in (g.delta, g.gamma, g.theta))
            and all(v is None or type(v) is float for v in (g.vega, g.rho)))


@given(opt=pricing_options, frame=pricing_frames, config=configs(), at=valuation_times)
def test_valuation_on_extreme_inputs(opt, frame, config, at):
    builder = opt.valuation().market(frame).config(config).at(at)
    check_isolated(builder.compute, is_result, ENGINE_PANICS, memory=True)


@given(opt=pricing_options, frame=pricing_frames, config=configs(), at=valuation_times,
       target=st.one_of(st.floats(), st.floats(0.0, 100.0)))
def test_implied_vol_on_extreme_inputs(opt, frame, config, at, target):
    builder = opt.implied_vol().market(frame).config(config).at(at).price(target)
    check_isolated(builder.calculate, is_float, ENGINE_PANICS, memory=True)



@pytest.mark.parametrize("shown, text", [(b"abc", "b'abc'"), (12345, "12345"), (None, "None"), ([1], "[1]"),
                                         (KeyError, "Odd")])
@pytest.mark.parametrize("call, message", [
    (lambda odd: zub.VanillaOption(1.0, T0, odd, zub.ExerciseStyle.European),
     "'option_type': '{}' object cannot be cast as 'OptionType'"),
    (lambda odd: zub.DividendSchedule([odd]), "'raw_divs': '{}' object cannot be cast as 'tuple'"),
])
def test_messages_name_a_type_whatever_its_qualname_holds(shown, text, call, message):
    # A metaclass answers __qualname__ with `shown`, or raises for KeyError.
    get = lambda cls, attr: type.__getattribute__(cls, attr) if attr != "__qualname__" else (
        shown if shown is not KeyError else {}[attr])
    odd = type("OddName", (type,), {"__getattribute__": get})("Odd", (), {})()
    assert isolated(lambda: str(pytest.raises(TypeError, call, odd).value)) == "argument " + message.format(text)
