// ValuationBuilder, OptionResult and Greeks, and the builder machinery that
// the implied-volatility builder shares.
#include <string>

#include "core/number_text.hpp"
#include "datetime_conv.hpp"
#include "execution/builder.hpp"

namespace zub::py {

// ---------------------------------------------------------------------------
// Shared builder machinery

namespace {

// Replaces one object reference of the builder under an exclusive borrow;
// the old reference is dropped after the borrow ends.
bool replace_ref(PyObject* self, PyObject* BuilderState::*field, PyObject* value) {
    auto& st = value_of<BuilderState>(self);
    PyObject* old = nullptr;
    {
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return false;
        Py_XINCREF(value);
        old = st.*field;
        st.*field = value;
    }
    Py_XDECREF(old);
    return true;
}

}  // namespace

bool snapshot_builder(PyObject* self, const char* no_market, BuilderSnapshot& out) {
    auto& st = value_of<BuilderState>(self);
    SharedBorrow b(st.borrow);
    if (!b.ok()) return false;
    if (st.market == nullptr) {
        PyErr_SetString(PyExc_ValueError, no_market);
        return false;
    }
    out.option = value_of<zub::VanillaOption>(st.instrument);
    {
        auto& frame = value_of<FrameState>(st.market);
        SharedBorrow fb(frame.borrow);
        if (!fb.ok()) return false;
        out.market = frame.record;
    }
    if (st.config != nullptr) {
        auto& cfg = value_of<ConfigState>(st.config);
        SharedBorrow cb(cfg.borrow);
        if (!cb.ok()) return false;
        out.config = cfg.table;
    }
    out.valuation = st.valuation_time ? *st.valuation_time : now_instant();
    out.target = st.target;
    return true;
}

PyObject* new_builder(PyTypeObject* type, PyObject* option) {
    if (type == nullptr) return nullptr;
    PyObject* o = new_box<BuilderState>(type);
    if (o != nullptr) value_of<BuilderState>(o).instrument = new_ref(option);
    return o;
}

PyObject* builder_new(PyTypeObject* type, const Signature& sig, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        if (cast_arg<zub::VanillaOption>(p[0], type_VanillaOption(), "instrument", "VanillaOption") == nullptr) {
            return nullptr;
        }
        return new_builder(type, p[0]);
    });
}

PyObject* builder_market(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        if (cast_arg<FrameState>(p[0], type_OptionMarketFrame(), "market_frame", "OptionMarketFrame") == nullptr) {
            return nullptr;
        }
        if (!replace_ref(self, &BuilderState::market, p[0])) return nullptr;
        return new_ref(self);
    });
}

PyObject* builder_config(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        PyObject* config = nullptr;
        if (p.has(0)) {
            if (cast_arg<ConfigState>(p[0], type_Config(), "config", "Config") == nullptr) return nullptr;
            config = p[0];
        }
        if (!replace_ref(self, &BuilderState::config, config)) return nullptr;
        return new_ref(self);
    });
}

PyObject* builder_at(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Params<1> p;
        if (!bind(sig, args, nargs, kw, p.v)) return nullptr;
        std::optional<zub::Instant> when;
        if (p.has(0)) {
            if (!require_datetime(p[0], "valuation_time")) return nullptr;
            zub::Instant t;
            // utcoffset() and timestamp() run Python code: no borrow is held yet.
            if (!aware_instant(p[0], Rounding::Floor,
                               "Evaluation time must have a timezone specified (e.g. New York or UTC)",
                               "Invalid timestamp", t)) {
                return nullptr;
            }
            when = t;
        }
        auto& st = value_of<BuilderState>(self);
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return nullptr;
        st.valuation_time = when;
        return new_ref(self);
    });
}

// ---------------------------------------------------------------------------
// ValuationBuilder, OptionResult, Greeks

namespace {

constexpr Signature kMarketSig{"ValuationBuilder.market", kMarketParam, 1, 1};
constexpr Signature kConfigSig{"ValuationBuilder.config", kConfigParam, 1, 0};
constexpr Signature kAtSig{"ValuationBuilder.at", kTimeParam, 1, 0};
using Setters = BuilderSetterMethods<kMarketSig, kConfigSig, kAtSig>;

PyObject* valuation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature sig{"ValuationBuilder.__new__", kInstrumentParam, 1, 1};
    return builder_new(type, sig, args, kwargs);
}

PyObject* valuation_compute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Signature sig{"ValuationBuilder.compute", nullptr, 0, 0};
        if (!bind(sig, args, nargs, kw, nullptr)) return nullptr;
        BuilderSnapshot s;
        if (!snapshot_builder(self, "Market data is required for valuation.", s)) return nullptr;
        auto result = zub::value_option(s.option, *s.market, s.table(), s.valuation, signal_check());
        if (!result) {
            raise_error(result.error());
            return nullptr;
        }
        return wrap_option_result(*result);
    });
}

PyObject* result_price(PyObject* self, void*) { return new_float(value_of<zub::OptionResult>(self).price); }

PyObject* result_greeks(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* t = type_Greeks();
        return t ? new_box<zub::Greeks>(t, value_of<zub::OptionResult>(self).greeks) : nullptr;
    });
}

PyObject* result_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        return new_str("<OptionResult price=" + zub::format_fixed4(value_of<zub::OptionResult>(self).price) + ">");
    });
}

template <double zub::Greeks::*Field>
PyObject* greek(PyObject* self, void*) {
    return new_float(value_of<zub::Greeks>(self).*Field);
}

template <std::optional<double> zub::Greeks::*Field>
PyObject* optional_greek(PyObject* self, void*) {
    return new_optional_float(value_of<zub::Greeks>(self).*Field);
}

}  // namespace

PyObject* new_valuation_builder(PyObject* option) { return new_builder(type_ValuationBuilder(), option); }

PyObject* wrap_option_result(const zub::OptionResult& r) {
    PyTypeObject* t = type_OptionResult();
    return t ? new_box<zub::OptionResult>(t, r) : nullptr;
}

PyTypeObject* type_ValuationBuilder() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyMethodDef methods[] = {
            Setters::market(),
            Setters::config(),
            Setters::at(),
            {"compute", fastcall(valuation_compute), kFastKw, "compute($self)\n--\n\n"},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(valuation_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BuilderState>)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>("ValuationBuilder(instrument)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.ValuationBuilder", sizeof(Box<BuilderState>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_OptionResult() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyGetSetDef getset[] = {
            {"greeks", result_greeks, nullptr, nullptr, nullptr},
            {"price", result_price, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<zub::OptionResult>)},
            {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.OptionResult", sizeof(Box<zub::OptionResult>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

PyTypeObject* type_Greeks() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyGetSetDef getset[] = {
            {"delta", greek<&zub::Greeks::delta>, nullptr, nullptr, nullptr},
            {"gamma", greek<&zub::Greeks::gamma>, nullptr, nullptr, nullptr},
            {"theta", greek<&zub::Greeks::theta>, nullptr, nullptr, nullptr},
            {"vega", optional_greek<&zub::Greeks::vega>, nullptr, nullptr, nullptr},
            {"rho", optional_greek<&zub::Greeks::rho>, nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<zub::Greeks>)},
            {Py_tp_getset, getset},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.Greeks", sizeof(Box<zub::Greeks>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
