// ImpliedVolBuilder: not bound in the module; reached through
// VanillaOption.implied_vol() and the type of what it returns.
#include "execution/builder.hpp"

namespace zub::py {
namespace {

Ref price(PyObject* self, double target) {
    auto& st = value_of<BuilderState>(self);
    ExclusiveBorrow b(st.borrow);
    if (!b.ok()) return {};
    st.target = target;
    return Ref::borrow(self);
}

Ref calculate(PyObject* self) {
    BuilderSnapshot s;
    if (!snapshot_builder(self, "Market data is required for implied volatility solving.", s)) return {};
    return Ref::steal(
        to_python(zub::implied_volatility(s.option, *s.market, s.table(), s.valuation, s.target, signal_check())));
}

}  // namespace

PyTypeObject* type_ImpliedVolBuilder() {
    return once([] {
        return make_class<BuilderState>({
            .name = "builtins.ImpliedVolBuilder",
            .methods = {method<"ImpliedVolBuilder.price", price, "target">(),
                        method<"ImpliedVolBuilder.market", builder_market, "market_frame">(),
                        method<"ImpliedVolBuilder.config", builder_config, "config">(),
                        method<"ImpliedVolBuilder.at", builder_at, "valuation_time">(),
                        method<"ImpliedVolBuilder.calculate", calculate>()},
            .init = constructor<"ImpliedVolBuilder.__new__", builder_new, "instrument">(),
        });
    });
}

}  // namespace zub::py
