"""FdmConfig, TransformConfig, InstrumentPolicy and Config, observed through pricing."""
import pytest

import zub
from support import T0, config, frame, option, policy, value

FdmConfig, TransformConfig, InstrumentPolicy = zub.FdmConfig, zub.TransformConfig, zub.InstrumentPolicy

SLOTS = [("call", "american"), ("put", "american"), ("call", "european"), ("put", "european")]


def methods(cfg):
    """'fd' or 'bs' for the four slots, told apart by the engines' vega."""
    frm = frame()
    return [("fd" if value(option(k, s), frm, cfg).greeks.vega is None else "bs") for k, s in SLOTS]


def fd_price(fdm_config, **opt):
    cfg = config(policy("fdm", fdm_config=fdm_config))
    return value(option(**opt), frame(), cfg).price


@pytest.mark.parametrize("make, exc, pattern", [
    (lambda: FdmConfig(time_steps=-1), OverflowError, "negative"),
    (lambda: FdmConfig(grid_nodes=-3), OverflowError, "negative"),
    (lambda: FdmConfig(grid_nodes=2**64), OverflowError, None),
    (lambda: FdmConfig(time_steps=1.5), TypeError, "^argument 'time_steps': 'float' object cannot be interpreted"),
    (lambda: FdmConfig(None, "3"), TypeError, "^argument 'grid_nodes': "),
    (lambda: FdmConfig(grid_std_devs="4"), TypeError, "^argument 'grid_std_devs': "),
    (lambda: FdmConfig(transform=1), TypeError,
     "^argument 'transform': 'int' object cannot be cast as 'TransformConfig'$"),
    (lambda: FdmConfig(1, 2, 3.0, TransformConfig.log(), 5), TypeError,
     r"^FdmConfig.__new__\(\) takes from 0 to 4 positional arguments but 5 were given$"),
    (lambda: TransformConfig.sinh("a"), TypeError, "^argument 'alpha': "),
    (lambda: TransformConfig(), TypeError, "^cannot create 'builtins.TransformConfig' instances$"),
    (lambda: InstrumentPolicy().fdm(FdmConfig), TypeError,
     "^argument 'fdm_config': 'type' object cannot be cast as 'FdmConfig'$"),
    (lambda: zub.Config().add_policy(zub.Config()), TypeError,
     "^argument 'policy': 'Config' object cannot be cast as 'InstrumentPolicy'$"),
    (lambda: InstrumentPolicy(1), TypeError,
     r"^InstrumentPolicy.__new__\(\) takes 0 positional arguments but 1 was given$"),
])
def test_argument_errors(make, exc, pattern):
    with pytest.raises(exc, match=pattern):
        make()


@pytest.mark.parametrize("step", ["put", "call", "american", "european", "analytic", "fdm"])
def test_policy_steps_return_the_policy(step):
    p = InstrumentPolicy()
    assert getattr(p, step)() is p


def test_add_policy_returns_the_config():
    c = zub.Config()
    assert c.add_policy(policy=InstrumentPolicy()) is c


@pytest.mark.parametrize("policies, expected", [
    ([], ["fd", "fd", "bs", "bs"]),
    ([policy("analytic")], ["bs"] * 4),
    ([policy("call")], ["bs", "fd", "bs", "bs"]),
    ([policy("european", "fdm")], ["fd"] * 4),
    ([policy("put", "put", "european", "european", "fdm")], ["fd", "fd", "bs", "fd"]),
    ([policy("analytic"), policy("american", "put", "fdm")], ["bs", "fd", "bs", "bs"]),
    ([policy("european", "fdm"), policy("analytic")], ["bs"] * 4),
    ([policy("put", "european", "fdm"), policy("put", "analytic")], ["fd", "bs", "bs", "bs"]),
    ([policy("call", "put", "american", "european", "fdm"), policy()], ["bs"] * 4),
])
def test_policies_fill_the_matching_slots(policies, expected):
    assert methods(config(*policies)) == expected


def test_a_policy_is_applied_as_it_was_when_added():
    p = policy("analytic")
    c = config(p)
    p.american().fdm()
    assert methods(c) == ["bs"] * 4
    c.add_policy(p).add_policy(p)
    assert methods(c) == ["fd", "fd", "bs", "bs"]


def test_builder_sees_policies_added_after_attaching():
    c = zub.Config()
    builder = option("call").valuation().market(frame()).config(c).at(T0)
    c.add_policy(policy("fdm"))
    assert builder.compute().greeks.vega is None
    assert builder.config(None).compute().greeks.vega is not None


# Pins a rule of this library: an even node count is raised by one so the grid has a centre node.
@pytest.mark.parametrize("given, same_as", [(100, 101), (200, 201), (24, 25)])
def test_grid_nodes_are_made_odd(given, same_as):
    assert fd_price(FdmConfig(grid_nodes=given)) == fd_price(FdmConfig(grid_nodes=same_as))
    assert fd_price(FdmConfig(grid_nodes=given)) != fd_price(FdmConfig(grid_nodes=same_as + 2))


def test_american_put_policy_with_settings_touches_only_its_slot():
    cfg = config(policy("put", "american", "fdm", fdm_config=FdmConfig(grid_nodes=200)))
    assert methods(cfg) == ["fd", "fd", "bs", "bs"]
    frm = frame()
    american_put = value(option("put", "american"), frm, cfg).price
    assert american_put == fd_price(FdmConfig(grid_nodes=201), kind="put", style="american")
    assert american_put != value(option("put", "american"), frm).price
    assert value(option("call", "american"), frm, cfg).price == value(option("call", "american"), frm).price


# Pins the default grid: sinh 0.3, 101 nodes, 10 steps, 4 standard deviations.
def test_default_settings():
    defaults = fd_price(None)
    assert fd_price(FdmConfig()) == defaults
    assert fd_price(FdmConfig(10, 101, 4.0, TransformConfig.sinh(0.3))) == defaults
    assert fd_price(FdmConfig(time_steps=10, grid_nodes=None, grid_std_devs=None, transform=None)) == defaults
    for other in (FdmConfig(time_steps=11), FdmConfig(grid_std_devs=5.0), FdmConfig(transform=TransformConfig.log()),
                  FdmConfig(transform=TransformConfig.sinh(0.5))):
        assert fd_price(other) != defaults


# Pins where a one-node grid is refused: in the engine, with its operator message.
def test_one_grid_node_fails_in_the_engine(PanicException):
    with pytest.raises(PanicException, match="^TridiagonalOperator requires at least 3 elements, found 1$"):
        fd_price(FdmConfig(grid_nodes=0))
