// The pieces both builders share: the snapshot a run reads, construction
// and the market, config and at setters.
#include "execution/builder.hpp"

namespace zub::py {
namespace {

// Replaces one object reference of the builder under an exclusive borrow;
// the old reference is dropped after the borrow ends.
Ref replace_ref(PyObject* self, Ref BuilderState::*field, PyObject* value) {
    auto& st = value_of<BuilderState>(self);
    Ref old = Ref::borrow(value);
    {
        ExclusiveBorrow b(st.borrow);
        if (!b.ok()) return {};
        std::swap(st.*field, old);
    }
    return Ref::borrow(self);
}

}  // namespace

bool snapshot_builder(PyObject* self, const char* no_market, BuilderSnapshot& out) {
    auto& st = value_of<BuilderState>(self);
    SharedBorrow b(st.borrow);
    if (!b.ok()) return false;
    if (!st.market) return fail(PyExc_ValueError, no_market);
    out.option = value_of<zub::VanillaOption>(st.instrument.get());
    {
        auto& frame = value_of<FrameState>(st.market.get());
        SharedBorrow fb(frame.borrow);
        if (!fb.ok()) return false;
        out.market = frame.record;
    }
    if (st.config) {
        auto& cfg = value_of<ConfigState>(st.config.get());
        SharedBorrow cb(cfg.borrow);
        if (!cb.ok()) return false;
        out.config = cfg.table;
    }
    out.valuation = st.valuation_time ? *st.valuation_time : now_instant();
    out.target = st.target;
    return true;
}

Ref new_builder(PyTypeObject* type, PyObject* option) {
    return Ref::steal(type ? new_box<BuilderState>(type, builder_new({option})) : nullptr);
}

BuilderState builder_new(Object<zub::VanillaOption> instrument) {
    BuilderState st;
    st.instrument = Ref::borrow(instrument.o);
    return st;
}

Ref builder_market(PyObject* self, Object<FrameState> market_frame) {
    return replace_ref(self, &BuilderState::market, market_frame.o);
}

Ref builder_config(PyObject* self, std::optional<Object<ConfigState>> config) {
    return replace_ref(self, &BuilderState::config, config ? config->o : nullptr);
}

// utcoffset() and timestamp() ran Python code while converting the argument;
// no borrow is held until now.
Ref builder_at(PyObject* self, std::optional<ValuationTime> valuation_time) {
    auto& st = value_of<BuilderState>(self);
    ExclusiveBorrow b(st.borrow);
    if (!b.ok()) return {};
    st.valuation_time = valuation_time ? std::optional(valuation_time->value) : std::nullopt;
    return Ref::borrow(self);
}

}  // namespace zub::py
