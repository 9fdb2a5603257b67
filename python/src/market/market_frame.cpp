// OptionMarketFrame: one shared market record with copy-on-write setters.
#include <functional>

#include "types.hpp"

namespace zub::py {
namespace {

using zub::MarketRecord;
using zub::RateCurve;

const RateCurve& default_borrow_curve() {
    static const RateCurve curve = RateCurve::continuous(0.0, zub::DayCountConvention::act365_fixed());
    return curve;
}

FrameState frame_new(double spot, const RateCurve& rate_curve, const zub::VolSurface& vol_surface,
                     std::optional<DividendList> dividends, std::optional<RateCurve> borrow_curve) {
    return FrameState{{},
                      std::make_shared<const MarketRecord>(MarketRecord{
                          spot, rate_curve, vol_surface, dividends ? **dividends : std::vector<zub::Dividend>{},
                          borrow_curve ? *borrow_curve : default_borrow_curve()})};
}

// Reads a field of the record under a shared borrow.
template <auto Read>
Ref frame_get(FrameState& s) {
    SharedBorrow b(s.borrow);
    return Ref::steal(b.ok() ? to_python(std::invoke(Read, *s.record)) : nullptr);
}

DividendList dividends_of(const MarketRecord& r) {
    return std::make_shared<const std::vector<zub::Dividend>>(r.dividends);
}

void store_dividends(MarketRecord& r, const std::optional<DividendList>& d) {
    r.dividends = d ? **d : std::vector<zub::Dividend>{};
}

// Written by hand, as attribute setters are: the value is converted, then
// written under an exclusive borrow.  The record is copied first when
// anybody else holds it, so a record a consumer is reading never changes
// underneath it.
template <Name N, class P, auto Store>
int frame_set(PyObject* self, PyObject* value, void*) {
    return guarded<int>(-1, [&]() -> int {
        typename Param<P>::Held v{};
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            return -1;
        }
        if (!Param<P>::read(value, N.s, v)) return -1;
        FrameState& s = value_of<FrameState>(self);
        ExclusiveBorrow b(s.borrow);
        if (!b.ok()) return -1;
        if (s.record.use_count() > 1) s.record = std::make_shared<const MarketRecord>(*s.record);
        // The record was created non-const and is now owned by this frame alone.
        auto& record = const_cast<MarketRecord&>(*s.record);
        if constexpr (std::is_member_object_pointer_v<decltype(Store)>) {
            record.*Store = held_value(v);
        } else {
            Store(record, held_value(v));
        }
        return 0;
    });
}

template <Name N, class P, auto Store, auto Read = Store>
PyGetSetDef property() {
    return {N.s, read_getter<frame_get<Read>>, frame_set<N, P, Store>, nullptr, nullptr};
}

}  // namespace

PyTypeObject* type_OptionMarketFrame() {
    return once([] {
        return make_class<FrameState>({
            .name = "builtins.OptionMarketFrame",
            .getset = {property<"spot", double, &MarketRecord::spot>(),
                       property<"rate_curve", RateCurve, &MarketRecord::rate_curve>(),
                       property<"vol_surface", zub::VolSurface, &MarketRecord::vol_surface>(),
                       property<"dividends", std::optional<DividendList>, store_dividends, dividends_of>(),
                       property<"borrow_curve", std::optional<RateCurve>, &MarketRecord::borrow_curve>()},
            .init = constructor<"OptionMarketFrame.__new__", frame_new, "spot", "rate_curve", "vol_surface",
                                "dividends", "borrow_curve">(),
        });
    });
}

}  // namespace zub::py
