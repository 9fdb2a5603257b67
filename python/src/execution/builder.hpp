// Pieces shared by ValuationBuilder and ImpliedVolBuilder: construction,
// the market/config/at setters and the snapshot taken when a builder runs.
#pragma once

#include <memory>
#include <optional>

#include "types.hpp"

namespace zub::py {

// Everything one run of a builder reads, copied out of the Python objects so
// that the engines work without touching them (a signal handler that calls
// the builder's setters while an engine runs sees no borrowed object).
struct BuilderSnapshot {
    zub::VanillaOption option;
    std::shared_ptr<const zub::MarketRecord> market;
    std::shared_ptr<const zub::ConfigTable> config;  // nullptr: the default table
    zub::Instant valuation;
    std::optional<double> target;

    const zub::ConfigTable& table() const { return config ? *config : zub::ConfigTable::defaults(); }
};

// Fills `out` from the builder `self`.  Fails with ValueError `no_market`
// when no market frame is attached; reads the clock when no valuation time
// is stored.  Every borrow is released on return.
bool snapshot_builder(PyObject* self, const char* no_market, BuilderSnapshot& out);

// A new builder of `type` for an option object (not checked).
PyObject* new_builder(PyTypeObject* type, PyObject* option);

// tp_new body: binds "instrument", which must be a VanillaOption.
PyObject* builder_new(PyTypeObject* type, const Signature& sig, PyObject* args, PyObject* kwargs);

// The setters; each binds by `sig` and returns a new reference to `self`.
PyObject* builder_market(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* builder_config(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* builder_at(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

// Parameter names of the builders' constructor and setters.
inline const char* const kInstrumentParam[] = {"instrument"};
inline const char* const kMarketParam[] = {"market_frame"};
inline const char* const kConfigParam[] = {"config"};
inline const char* const kTimeParam[] = {"valuation_time"};

// A setter above bound to one class's signature, as a METH_FASTCALL method.
using BuilderSetter = PyObject* (*)(PyObject*, const Signature&, PyObject* const*, Py_ssize_t, PyObject*);
template <BuilderSetter F, const Signature& Sig>
PyObject* bound_setter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return F(self, Sig, args, nargs, kw);
}

// The market/config/at entries of a builder's method table.
template <const Signature& Market, const Signature& Config, const Signature& At>
struct BuilderSetterMethods {
    static PyMethodDef market() {
        return {"market", fastcall(bound_setter<builder_market, Market>), kFastKw,
                "market($self, market_frame)\n--\n\n"};
    }
    static PyMethodDef config() {
        return {"config", fastcall(bound_setter<builder_config, Config>), kFastKw,
                "config($self, config=None)\n--\n\n"};
    }
    static PyMethodDef at() {
        return {"at", fastcall(bound_setter<builder_at, At>), kFastKw, "at($self, valuation_time=None)\n--\n\n"};
    }
};

}  // namespace zub::py
