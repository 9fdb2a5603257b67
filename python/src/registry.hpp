// zub's classes, in the order the module registers them: the one list that
// zub's initialisation (checked against it as it compiles) and the array
// module (its check of the classes it finds in zub, its reducers) read.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>

#include "types.hpp"

namespace zub::py {

// A class: its name in zub and the value its instances hold (void: a class
// without instances).
template <Name N, class V>
struct Registered {
    static constexpr const char* name = N.s;
    using Value = V;
};

using Registry = List<Registered<"Compounding", zub::Compounding>,
                      Registered<"DayCountConvention", zub::DayCountConvention>,
                      Registered<"Frequency", zub::Frequency>,
                      Registered<"InterestRate", zub::InterestRate>,
                      Registered<"VanillaOption", zub::VanillaOption>,
                      Registered<"OptionMarketFrame", FrameState>,
                      Registered<"Tenor", zub::Tenor>,
                      Registered<"RateCurve", zub::RateCurve>,
                      Registered<"VolSurface", zub::VolSurface>,
                      Registered<"FdmConfig", zub::FdmConfig>,
                      Registered<"Config", ConfigState>,
                      Registered<"OptionType", zub::OptionType>,
                      Registered<"ExerciseStyle", zub::ExerciseStyle>,
                      Registered<"ValuationBuilder", BuilderState>,
                      Registered<"OptionResult", zub::OptionResult>,
                      Registered<"Greeks", zub::Greeks>,
                      Registered<"InstrumentPolicy", PolicyState>,
                      Registered<"PeriodCalculator", void>,
                      Registered<"DividendSchedule", DividendList>,
                      Registered<"TransformConfig", zub::TransformConfig>>;

template <class... E>
constexpr std::array<const char*, sizeof...(E)> names_of(List<E...>) {
    return {E::name...};
}
inline constexpr auto kClassNames = names_of(Registry{});
inline constexpr std::size_t kClassCount = kClassNames.size();

// The position of the one class whose instances hold a V; a V that no
// class, or more than one, holds does not compile.
template <class V, class... E>
constexpr std::size_t index_of_value(List<E...>) {
    const bool holds[] = {std::is_same_v<V, typename E::Value>...};
    if (std::count(holds, holds + sizeof...(E), true) != 1) throw "one registered class holds each value";
    return static_cast<std::size_t>(std::find(holds, holds + sizeof...(E), true) - holds);
}
template <class V>
inline constexpr std::size_t class_index = index_of_value<V>(Registry{});

// Calls f(Registered<...>{}, index) for each class in order.
template <class F, class... E>
void for_each_class(List<E...>, F&& f) {
    std::size_t i = 0;
    (f(E{}, i++), ...);
}
template <class F>
void for_each_class(F&& f) {
    for_each_class(Registry{}, f);
}

}  // namespace zub::py
