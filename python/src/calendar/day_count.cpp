// DayCountConvention with its holders ActAct and Thirty360, and
// PeriodCalculator.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::DayCountConvention;

std::string dcc_repr(const DayCountConvention& c) { return "<DayCountConvention: " + c.debug_text() + ">"; }

// Holder classes: no constructor, only class attributes.
PyTypeObject* make_holder(const char* qualified,
                          std::initializer_list<std::pair<const char*, DayCountConvention>> members) {
    Ref t = Ref::steal(reinterpret_cast<PyObject*>(make_type({.name = qualified}, 0, nullptr)));
    if (!t) return nullptr;
    for (const auto& [name, conv] : members) {
        if (!add_class_attr(reinterpret_cast<PyTypeObject*>(t.get()), name, Ref::steal(to_python(conv)))) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(t.release());
}

int64_t days_between(zub::Date start, zub::Date end, const DayCountConvention& c) {
    return zub::day_count(start, end, c);
}

double year_fraction(zub::Instant start, zub::Instant end, const DayCountConvention& c) {
    return zub::year_fraction(start, end, c);
}

}  // namespace

PyTypeObject* type_DayCountConvention() {
    static PyTypeObject* type = nullptr;
    return once_type(type, []() -> PyTypeObject* {
        Ref made = Ref::steal(reinterpret_cast<PyObject*>(make_class<DayCountConvention>({
            .name = "builtins.DayCountConvention",
            .repr = read_slot<dcc_repr>,
        })));
        if (!made) return nullptr;
        auto* t = reinterpret_cast<PyTypeObject*>(made.get());
        // The members need the type itself, so it is published before they
        // are created and withdrawn if any of them fails.
        type = t;
        PyTypeObject* act = nullptr;
        PyTypeObject* thirty = nullptr;
        if (!add_class_attr(t, "ACT_360", Ref::steal(to_python(DayCountConvention::act360()))) ||
            !add_class_attr(t, "ACT_365_FIXED", Ref::steal(to_python(DayCountConvention::act365_fixed()))) ||
            (act = type_ActAct()) == nullptr || (thirty = type_Thirty360()) == nullptr ||
            !add_class_attr(t, "ACT_ACT", Ref::borrow(act)) || !add_class_attr(t, "THIRTY_360", Ref::borrow(thirty))) {
            type = nullptr;
            return nullptr;
        }
        return reinterpret_cast<PyTypeObject*>(made.release());
    });
}

PyTypeObject* type_ActAct() {
    return once([] { return make_holder("builtins.ActAct", {{"ISDA", DayCountConvention::act_act_isda()}}); });
}

PyTypeObject* type_Thirty360() {
    return once([] {
        return make_holder("builtins.Thirty360",
                           {{"US_ISDA", DayCountConvention::thirty360(zub::Thirty360Kind::UsIsda)},
                            {"EUROBOND_ISMA", DayCountConvention::thirty360(zub::Thirty360Kind::EurobondIsma)},
                            {"GERMAN_ISDA", DayCountConvention::thirty360(zub::Thirty360Kind::GermanIsda)}});
    });
}

PyTypeObject* type_PeriodCalculator() {
    return once([] {
        return make_type({.name = "builtins.PeriodCalculator",
                          .methods = {static_method<"PeriodCalculator.days_between", days_between, "start", "end",
                                                    "convention">(),
                                      static_method<"PeriodCalculator.year_fraction", year_fraction, "start", "end",
                                                    "convention">()}},
                         0, nullptr);
    });
}

}  // namespace zub::py
