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

// ---------------------------------------------------------------------------
// TransformConfig

PyObject* new_transform(const zub::TransformConfig& t) {
    PyTypeObject* type = type_TransformConfig();
    return type ? new_box<zub::TransformConfig>(type, t) : nullptr;
}

PyObject* transform_sinh(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"alpha"};
        static const Signature sig{"TransformConfig.sinh", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double alpha;
        if (!to_double(p[0], "alpha", alpha)) return nullptr;
        return new_transform({zub::TransformKind::Sinh, alpha});
    });
}

PyObject* transform_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"TransformConfig.log", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        return new_transform({zub::TransformKind::Log, 0.0});
    });
}

// ---------------------------------------------------------------------------
// FdmConfig

PyObject* fdm_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"time_steps", "grid_nodes", "grid_std_devs", "transform"};
        static const Signature sig{"FdmConfig.__new__", names, 4, 0};
        Params<4> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        zub::FdmConfig c;
        if (p.has(0) && !to_u64(p[0], "time_steps", c.time_steps)) return nullptr;
        if (p.has(1)) {
            if (!to_u64(p[1], "grid_nodes", c.grid_nodes)) return nullptr;
            c.grid_nodes |= 1;  // the grid needs a centre node
        }
        if (p.has(2) && !to_double(p[2], "grid_std_devs", c.grid_std_devs)) return nullptr;
        if (p.has(3)) {
            auto* t = cast_arg<zub::TransformConfig>(p[3], type_TransformConfig(), "transform", "TransformConfig");
            if (t == nullptr) return nullptr;
            c.transform = *t;
        }
        return new_box<zub::FdmConfig>(type, c);
    });
}

// ---------------------------------------------------------------------------
// InstrumentPolicy

PyObject* policy_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"InstrumentPolicy.__new__", nullptr, 0, 0};
        if (!bind(sig, args, kwargs, nullptr)) return nullptr;
        return new_box<PolicyState>(type);
    });
}

// Binds no arguments, applies `change` to the policy under an exclusive
// borrow and returns the policy itself.
template <class Change>
PyObject* change_policy(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                        Change&& change) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        auto& st = value_of<PolicyState>(self);
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return nullptr;
        change(st);
        return new_ref(self);
    });
}

PyObject* policy_put(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"InstrumentPolicy.put", nullptr, 0, 0};
    return change_policy(self, sig, a, n, kw, [](PolicyState& st) { st.option_types.push_back(OptionType::Put); });
}

PyObject* policy_call(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"InstrumentPolicy.call", nullptr, 0, 0};
    return change_policy(self, sig, a, n, kw, [](PolicyState& st) { st.option_types.push_back(OptionType::Call); });
}

PyObject* policy_american(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"InstrumentPolicy.american", nullptr, 0, 0};
    return change_policy(self, sig, a, n, kw,
                         [](PolicyState& st) { st.exercise_styles.push_back(ExerciseStyle::American); });
}

PyObject* policy_european(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"InstrumentPolicy.european", nullptr, 0, 0};
    return change_policy(self, sig, a, n, kw,
                         [](PolicyState& st) { st.exercise_styles.push_back(ExerciseStyle::European); });
}

PyObject* policy_analytic(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* kw) {
    static const Signature sig{"InstrumentPolicy.analytic", nullptr, 0, 0};
    return change_policy(self, sig, a, n, kw,
                         [](PolicyState& st) { st.method = PricingMethod{PricingMethod::Kind::Analytic, {}}; });
}

PyObject* policy_fdm(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"fdm_config"};
        static const Signature sig{"InstrumentPolicy.fdm", names, 1, 0};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        PricingMethod method{PricingMethod::Kind::Fdm, {}};
        if (p.has(0)) {
            auto* c = cast_arg<zub::FdmConfig>(p[0], type_FdmConfig(), "fdm_config", "FdmConfig");
            if (c == nullptr) return nullptr;
            method.fdm = *c;
        }
        auto& st = value_of<PolicyState>(self);
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return nullptr;
        st.method = method;
        return new_ref(self);
    });
}

// ---------------------------------------------------------------------------
// Config

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

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"Config.__new__", nullptr, 0, 0};
        if (!bind(sig, args, kwargs, nullptr)) return nullptr;
        auto table = std::make_shared<const ConfigTable>(ConfigTable::defaults());
        PyObject* o = new_box<ConfigState>(type);
        if (o != nullptr) value_of<ConfigState>(o).table = std::move(table);
        return o;
    });
}

PyObject* config_add_policy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"policy"};
        static const Signature sig{"Config.add_policy", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        auto* policy = cast_arg<PolicyState>(p[0], type_InstrumentPolicy(), "policy", "InstrumentPolicy");
        if (policy == nullptr) return nullptr;
        SharedBorrow pb(policy->borrow);
        if (!pb.ok()) return nullptr;
        auto& st = value_of<ConfigState>(self);
        ExclusiveBorrow cb(st.borrow);
        if (!cb.ok()) return nullptr;
        // Builders may hold the old table; it is replaced, never changed.
        st.table = std::make_shared<const ConfigTable>(apply_policy(*st.table, *policy));
        return new_ref(self);
    });
}

}  // namespace

PyTypeObject* type_TransformConfig() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"sinh", fastcall(transform_sinh), kFastKw | METH_STATIC, "sinh(alpha)\n--\n\n"},
            {"log", fastcall(transform_log), kFastKw | METH_STATIC, "log()\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<zub::TransformConfig>)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.TransformConfig", sizeof(Box<zub::TransformConfig>), 0,
                                   Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_FdmConfig() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(fdm_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<zub::FdmConfig>)},
            {Py_tp_doc,
             const_cast<char*>(
                 "FdmConfig(time_steps=None, grid_nodes=None, grid_std_devs=None, transform=None)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.FdmConfig", sizeof(Box<zub::FdmConfig>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_InstrumentPolicy() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"put", fastcall(policy_put), kFastKw, "put($self)\n--\n\n"},
            {"call", fastcall(policy_call), kFastKw, "call($self)\n--\n\n"},
            {"american", fastcall(policy_american), kFastKw, "american($self)\n--\n\n"},
            {"european", fastcall(policy_european), kFastKw, "european($self)\n--\n\n"},
            {"analytic", fastcall(policy_analytic), kFastKw, "analytic($self)\n--\n\n"},
            {"fdm", fastcall(policy_fdm), kFastKw, "fdm($self, fdm_config=None)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(policy_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PolicyState>)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("InstrumentPolicy()\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.InstrumentPolicy", sizeof(Box<PolicyState>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_Config() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"add_policy", fastcall(config_add_policy), kFastKw, "add_policy($self, policy)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(config_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ConfigState>)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("Config()\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Config", sizeof(Box<ConfigState>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
