// OptionMarketFrame: one shared market record with copy-on-write setters.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::MarketRecord;
using zub::RateCurve;

FrameState& state_of(PyObject* self) { return value_of<FrameState>(self); }

// Reads a field of the record under a shared borrow.
template <class F>
PyObject* frame_get(PyObject* self, F&& read) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        FrameState& s = state_of(self);
        SharedBorrow b(s.borrow);
        if (!b.ok()) return nullptr;
        return read(*s.record);
    });
}

// Writes one field: the record is copied first when anybody else holds it,
// so a record a consumer is reading never changes underneath it.
template <class F>
int frame_set(PyObject* self, F&& write) {
    return guarded<int>(-1, [&]() -> int {
        FrameState& s = state_of(self);
        ExclusiveBorrow b(s.borrow);
        if (!b.ok()) return -1;
        if (s.record.use_count() > 1) s.record = std::make_shared<const MarketRecord>(*s.record);
        // The record was created non-const and is now owned by this frame alone.
        write(const_cast<MarketRecord&>(*s.record));
        return 0;
    });
}

const RateCurve& default_borrow_curve() {
    static const RateCurve curve = RateCurve::continuous(0.0, zub::DayCountConvention::act365_fixed());
    return curve;
}

bool curve_value(PyObject* o, const char* name, const RateCurve*& out) {
    out = cast_arg<RateCurve>(o, type_RateCurve(), name, "RateCurve");
    return out != nullptr;
}

bool dividends_value(PyObject* o, const char* name, const DividendList*& out) {
    out = cast_arg<DividendList>(o, type_DividendSchedule(), name, "DividendSchedule");
    return out != nullptr;
}

PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"spot", "rate_curve", "vol_surface", "dividends", "borrow_curve"};
        static const Signature sig{"OptionMarketFrame.__new__", names, 5, 3};
        Params<5> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        double spot;
        if (!to_double(p[0], "spot", spot)) return nullptr;
        const RateCurve* rc;
        if (!curve_value(p[1], "rate_curve", rc)) return nullptr;
        auto* vs = cast_arg<zub::VolSurface>(p[2], type_VolSurface(), "vol_surface", "VolSurface");
        if (vs == nullptr) return nullptr;
        const DividendList* divs = nullptr;
        if (p.has(3) && !dividends_value(p[3], "dividends", divs)) return nullptr;
        const RateCurve* borrow = nullptr;
        if (p.has(4) && !curve_value(p[4], "borrow_curve", borrow)) return nullptr;
        auto record = std::make_shared<const MarketRecord>(MarketRecord{
            spot, *rc, *vs, divs != nullptr ? **divs : std::vector<zub::Dividend>{},
            borrow != nullptr ? *borrow : default_borrow_curve()});
        return new_box<FrameState>(type, FrameState{{}, std::move(record)});
    });
}

PyObject* get_spot(PyObject* self, void*) {
    return frame_get(self, [](const MarketRecord& r) { return new_float(r.spot); });
}

int set_spot(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    double v;
    if (!to_double(value, "spot", v)) return -1;
    return frame_set(self, [&](MarketRecord& r) { r.spot = v; });
}

PyObject* get_rate_curve(PyObject* self, void*) {
    return frame_get(self, [](const MarketRecord& r) { return wrap_rate_curve(r.rate_curve); });
}

int set_rate_curve(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    const RateCurve* c;
    if (!curve_value(value, "rate_curve", c)) return -1;
    return frame_set(self, [&](MarketRecord& r) { r.rate_curve = *c; });
}

PyObject* get_vol_surface(PyObject* self, void*) {
    return frame_get(self, [](const MarketRecord& r) { return wrap_vol_surface(r.vol_surface); });
}

int set_vol_surface(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    auto* s = cast_arg<zub::VolSurface>(value, type_VolSurface(), "vol_surface", "VolSurface");
    if (s == nullptr) return -1;
    return frame_set(self, [&](MarketRecord& r) { r.vol_surface = *s; });
}

PyObject* get_dividends(PyObject* self, void*) {
    return frame_get(self, [](const MarketRecord& r) {
        return wrap_dividends(std::make_shared<const std::vector<zub::Dividend>>(r.dividends));
    });
}

int set_dividends(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    const DividendList* d = nullptr;
    if (value != Py_None && !dividends_value(value, "dividends", d)) return -1;
    return frame_set(self, [&](MarketRecord& r) {
        if (d != nullptr) {
            r.dividends = **d;
        } else {
            r.dividends.clear();
        }
    });
}

PyObject* get_borrow_curve(PyObject* self, void*) {
    return frame_get(self, [](const MarketRecord& r) -> PyObject* {
        if (!r.borrow_curve) Py_RETURN_NONE;
        return wrap_rate_curve(*r.borrow_curve);
    });
}

int set_borrow_curve(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    const RateCurve* c = nullptr;
    if (value != Py_None && !curve_value(value, "borrow_curve", c)) return -1;
    return frame_set(self, [&](MarketRecord& r) {
        if (c != nullptr) {
            r.borrow_curve = *c;
        } else {
            r.borrow_curve.reset();
        }
    });
}

}  // namespace

PyTypeObject* type_OptionMarketFrame() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyGetSetDef getset[] = {
            {"spot", get_spot, set_spot, nullptr, nullptr},
            {"rate_curve", get_rate_curve, set_rate_curve, nullptr, nullptr},
            {"vol_surface", get_vol_surface, set_vol_surface, nullptr, nullptr},
            {"dividends", get_dividends, set_dividends, nullptr, nullptr},
            {"borrow_curve", get_borrow_curve, set_borrow_curve, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(frame_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<FrameState>)},
            {Py_tp_getset, getset},
            {Py_tp_doc, const_cast<char*>("OptionMarketFrame(spot, rate_curve, vol_surface, dividends=None, "
                                          "borrow_curve=None)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.OptionMarketFrame", sizeof(Box<FrameState>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

}  // namespace zub::py
