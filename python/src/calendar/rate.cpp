// Frequency, Compounding and InterestRate.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::Compounding;
using zub::CompoundingKind;
using zub::Frequency;
using zub::InterestRate;

constexpr const char* kFrequencyNames[] = {"Annual", "SemiAnnual", "Quarterly", "Monthly"};

const char* frequency_repr(const Frequency& f) { return kFrequencyNames[static_cast<int>(f)]; }
int frequency_code(const Frequency& f) { return static_cast<int>(f); }
int frequency_value(const Frequency& f) { return zub::periods_per_year(f); }

std::string compounding_repr(const Compounding& c) { return c.repr(); }

template <CompoundingKind K>
Compounding once_a_year() {
    return Compounding{K, 1};
}

template <CompoundingKind K>
Compounding with_frequency(const Frequency& f) {
    return Compounding{K, zub::periods_per_year(f)};
}

InterestRate rate_new(double rate, const Compounding& c, const zub::DayCountConvention& dcc) {
    return InterestRate{rate, c, dcc};
}

double discount_factor(const InterestRate& r, double t) { return r.discount_factor(t); }

}  // namespace

PyTypeObject* type_Frequency() {
    return once([] {
        return make_enum<Frequency>({.name = "builtins.Frequency",
                                     .getset = {getter<"value", frequency_value>()},
                                     .repr = read_slot<frequency_repr>,
                                     .as_int = read_slot<frequency_code>},
                                    {{kFrequencyNames[0], Frequency::Annual},
                                     {kFrequencyNames[1], Frequency::SemiAnnual},
                                     {kFrequencyNames[2], Frequency::Quarterly},
                                     {kFrequencyNames[3], Frequency::Monthly}});
    });
}

PyTypeObject* type_Compounding() {
    return once([] {
        return make_class<Compounding>({
            .name = "builtins.Compounding",
            .methods = {static_method<"Compounding.simple", once_a_year<CompoundingKind::Simple>>(),
                        static_method<"Compounding.continuous", once_a_year<CompoundingKind::Continuous>>(),
                        static_method<"Compounding.compounded", with_frequency<CompoundingKind::Compounded>, "freq">(),
                        static_method<"Compounding.simple_then_compounded",
                                      with_frequency<CompoundingKind::SimpleThenCompounded>, "freq">()},
            .repr = read_slot<compounding_repr>,
        });
    });
}

PyTypeObject* type_InterestRate() {
    return once([] {
        return make_class<InterestRate>({
            .name = "builtins.InterestRate",
            .methods = {method<"InterestRate.discount_factor", discount_factor, "t">()},
            .init = constructor<"InterestRate.__new__", rate_new, "rate", "compounding", "dcc">(),
        });
    });
}

}  // namespace zub::py
