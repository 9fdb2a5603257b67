// TransformConfig, FdmConfig, InstrumentPolicy and Config: the method table
// the builders consult.
#include <algorithm>
#include <initializer_list>

#include "types.hpp"

namespace zub::py {
namespace {

using zub::ConfigTable;
using zub::ExerciseStyle;
using zub::OptionType;
using zub::PricingMethod;

zub::TransformConfig sinh(double alpha) { return {zub::TransformKind::Sinh, alpha}; }
zub::TransformConfig log() { return {zub::TransformKind::Log, 0.0}; }

zub::FdmConfig fdm_new(std::optional<uint64_t> time_steps, std::optional<uint64_t> grid_nodes,
                       std::optional<double> grid_std_devs, std::optional<zub::TransformConfig> transform) {
    zub::FdmConfig c;
    if (time_steps) c.time_steps = *time_steps;
    if (grid_nodes) c.grid_nodes = *grid_nodes | 1;  // the grid needs a centre node
    if (grid_std_devs) c.grid_std_devs = *grid_std_devs;
    if (transform) c.transform = *transform;
    return c;
}

PolicyState policy_new() { return {}; }

// Applies `change` to the policy under an exclusive borrow and returns the
// policy itself.
template <class Change>
Ref change_policy(PyObject* self, Change&& change) {
    auto& st = value_of<PolicyState>(self);
    ExclusiveBorrow b(st.borrow);
    if (!b.ok()) return {};
    change(st);
    return Ref::borrow(self);
}

// Adds one option type or exercise style to those the policy matches.
template <auto List, auto Value>
Ref match(PyObject* self) {
    return change_policy(self, [](PolicyState& st) { (st.*List).push_back(Value); });
}

Ref analytic(PyObject* self) {
    return change_policy(self, [](PolicyState& st) { st.method = PricingMethod{PricingMethod::Kind::Analytic, {}, {}}; });
}

Ref fdm(PyObject* self, std::optional<zub::FdmConfig> config) {
    const PricingMethod method{PricingMethod::Kind::Fdm, config, {}};
    return change_policy(self, [&](PolicyState& st) { st.method = method; });
}

Ref exercise_boundary(PyObject* self, std::optional<double> tolerance) {
    const PricingMethod method{PricingMethod::Kind::ExerciseBoundary, {}, tolerance};
    return change_policy(self, [&](PolicyState& st) { st.method = method; });
}

template <class T>
bool matches(const std::vector<T>& list, T v) {
    return list.empty() || std::find(list.begin(), list.end(), v) != list.end();
}

// A copy of `table` with the policy's method written into every slot the
// policy matches; the solver is carried over.
ConfigTable apply_policy(ConfigTable table, const PolicyState& policy) {
    for (ExerciseStyle s : {ExerciseStyle::American, ExerciseStyle::European}) {
        if (!matches(policy.exercise_styles, s)) continue;
        for (OptionType t : {OptionType::Call, OptionType::Put}) {
            if (matches(policy.option_types, t)) table.slots[ConfigTable::slot_index(s, t)] = policy.method;
        }
    }
    return table;
}

ConfigState config_new() { return {{}, std::make_shared<const ConfigTable>(ConfigTable::defaults())}; }

Ref add_policy(PyObject* self, PolicyState& policy) {
    SharedBorrow pb(policy.borrow);
    if (!pb.ok()) return {};
    auto& st = value_of<ConfigState>(self);
    ExclusiveBorrow cb(st.borrow);
    if (!cb.ok()) return {};
    // Builders may hold the old table; it is replaced, never changed.
    st.table = std::make_shared<const ConfigTable>(apply_policy(*st.table, policy));
    return Ref::borrow(self);
}

// Asks finite-difference valuations for vega and rho too, by central
// differences with `bump` (5e-3 when None).
Ref fdm_vega_rho(PyObject* self, std::optional<double> bump) {
    auto& st = value_of<ConfigState>(self);
    ExclusiveBorrow cb(st.borrow);
    if (!cb.ok()) return {};
    auto table = std::make_shared<ConfigTable>(*st.table);
    table->fdm_vega_rho_bump = bump.value_or(zub::kDefaultVegaRhoBump);
    st.table = std::move(table);
    return Ref::borrow(self);
}

// Chooses the implied-volatility search and its settings; checked when a
// search starts (ImpliedVolBuilder.calculate, zub_batch.implied_vol).
Ref implied_vol_solver(PyObject* self, std::string method, std::optional<double> tolerance,
                       std::optional<uint64_t> max_iterations, std::optional<double> low, std::optional<double> high) {
    auto& st = value_of<ConfigState>(self);
    ExclusiveBorrow cb(st.borrow);
    if (!cb.ok()) return {};
    auto table = std::make_shared<ConfigTable>(*st.table);
    table->solver_request = ConfigTable::SolverRequest{std::move(method), tolerance, max_iterations, low, high};
    st.table = std::move(table);
    return Ref::borrow(self);
}

}  // namespace

PyTypeObject* type_TransformConfig() {
    return once([] {
        return make_class<zub::TransformConfig>({
            .name = "builtins.TransformConfig",
            .methods = {static_method<"TransformConfig.sinh", sinh, "alpha">(),
                        static_method<"TransformConfig.log", log>()},
        });
    });
}

PyTypeObject* type_FdmConfig() {
    return once([] {
        return make_class<zub::FdmConfig>({
            .name = "builtins.FdmConfig",
            .init = constructor<"FdmConfig.__new__", fdm_new, "time_steps", "grid_nodes", "grid_std_devs",
                                "transform">(),
        });
    });
}

PyTypeObject* type_InstrumentPolicy() {
    return once([] {
        return make_class<PolicyState>({
            .name = "builtins.InstrumentPolicy",
            .methods = {method<"InstrumentPolicy.put", match<&PolicyState::option_types, OptionType::Put>>(),
                        method<"InstrumentPolicy.call", match<&PolicyState::option_types, OptionType::Call>>(),
                        method<"InstrumentPolicy.american",
                               match<&PolicyState::exercise_styles, ExerciseStyle::American>>(),
                        method<"InstrumentPolicy.european",
                               match<&PolicyState::exercise_styles, ExerciseStyle::European>>(),
                        method<"InstrumentPolicy.analytic", analytic>(),
                        method<"InstrumentPolicy.fdm", fdm, "fdm_config">(),
                        method<"InstrumentPolicy.exercise_boundary", exercise_boundary, "tolerance">()},
            .init = constructor<"InstrumentPolicy.__new__", policy_new>(),
        });
    });
}

PyTypeObject* type_Config() {
    return once([] {
        return make_class<ConfigState>({
            .name = "builtins.Config",
            .methods = {method<"Config.add_policy", add_policy, "policy">(),
                        method<"Config.fdm_vega_rho", fdm_vega_rho, "bump">(),
                        method<"Config.implied_vol_solver", implied_vol_solver, "method", "tolerance",
                               "max_iterations", "low", "high">()},
            .init = constructor<"Config.__new__", config_new>(),
        });
    });
}

}  // namespace zub::py
