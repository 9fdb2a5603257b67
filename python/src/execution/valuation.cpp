// ValuationBuilder, OptionResult and Greeks.
#include <string>

#include "core/number_text.hpp"
#include "execution/builder.hpp"

namespace zub::py {
namespace {

Ref compute(PyObject* self) {
    BuilderSnapshot s;
    if (!snapshot_builder(self, "Market data is required for valuation.", s)) return {};
    return Ref::steal(to_python(zub::value_option(s.option, *s.market, s.table(), s.valuation, signal_check())));
}

std::string result_repr(const zub::OptionResult& r) {
    return "<OptionResult price=" + zub::format_fixed4(r.price) + ">";
}

}  // namespace

PyTypeObject* type_ValuationBuilder() {
    return once([] {
        return make_class<BuilderState>({
            .name = "builtins.ValuationBuilder",
            .methods = {method<"ValuationBuilder.market", builder_market, "market_frame">(),
                        method<"ValuationBuilder.config", builder_config, "config">(),
                        method<"ValuationBuilder.at", builder_at, "valuation_time">(),
                        method<"ValuationBuilder.compute", compute>()},
            .init = constructor<"ValuationBuilder.__new__", builder_new, "instrument">(),
        });
    });
}

PyTypeObject* type_OptionResult() {
    return once([] {
        return make_class<zub::OptionResult>({
            .name = "builtins.OptionResult",
            .getset = {getter<"greeks", &zub::OptionResult::greeks>(), getter<"price", &zub::OptionResult::price>()},
            .repr = read_slot<result_repr>,
        });
    });
}

PyTypeObject* type_Greeks() {
    return once([] {
        return make_class<zub::Greeks>({
            .name = "builtins.Greeks",
            .getset = {getter<"delta", &zub::Greeks::delta>(), getter<"gamma", &zub::Greeks::gamma>(),
                       getter<"theta", &zub::Greeks::theta>(), getter<"vega", &zub::Greeks::vega>(),
                       getter<"rho", &zub::Greeks::rho>()},
        });
    });
}

}  // namespace zub::py
