// ImpliedVolBuilder: not bound in the module; reached through
// VanillaOption.implied_vol() and the type of what it returns.
#include "execution/builder.hpp"

namespace zub::py {
namespace {

constexpr Signature kMarketSig{"ImpliedVolBuilder.market", kMarketParam, 1, 1};
constexpr Signature kConfigSig{"ImpliedVolBuilder.config", kConfigParam, 1, 0};
constexpr Signature kAtSig{"ImpliedVolBuilder.at", kTimeParam, 1, 0};
using Setters = BuilderSetterMethods<kMarketSig, kConfigSig, kAtSig>;

PyObject* iv_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"ImpliedVolBuilder.__new__", kInstrumentParam, 1, 1};
    return builder_new(type, sig, args, kwargs);
}

PyObject* iv_price(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"target"};
        static const Signature sig{"ImpliedVolBuilder.price", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        double target;
        if (!to_double(p[0], "target", target)) return nullptr;
        auto& st = value_of<BuilderState>(self);
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return nullptr;
        st.target = target;
        return new_ref(self);
    });
}

PyObject* iv_calculate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"ImpliedVolBuilder.calculate", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        BuilderSnapshot s;
        if (!snapshot_builder(self, "Market data is required for implied volatility solving.", s)) return nullptr;
        auto vol = zub::implied_volatility(s.option, *s.market, s.table(), s.valuation, s.target, signal_check());
        if (!vol) {
            raise_error(vol.error());
            return nullptr;
        }
        return new_float(*vol);
    });
}

}  // namespace

PyObject* new_implied_vol_builder(PyObject* option) { return new_builder(type_ImpliedVolBuilder(), option); }

PyTypeObject* type_ImpliedVolBuilder() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            {"price", fastcall(iv_price), kFastKw, "price($self, target)\n--\n\n"},
            Setters::market(),
            Setters::config(),
            Setters::at(),
            {"calculate", fastcall(iv_calculate), kFastKw, "calculate($self)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(iv_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BuilderState>)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("ImpliedVolBuilder(instrument)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.ImpliedVolBuilder", sizeof(Box<BuilderState>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
