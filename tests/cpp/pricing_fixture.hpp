// Markets, options and instants shared by the valuation and implied-volatility tests.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/period.hpp"
#include "execution/valuation.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/market_record.hpp"

namespace zub::testing {

inline constexpr auto Call = OptionType::Call;
inline constexpr auto Put = OptionType::Put;
inline constexpr auto American = ExerciseStyle::American;
inline constexpr auto European = ExerciseStyle::European;

constexpr int64_t kValuationSecs = 1'700'000'000;
constexpr int64_t kSecsPerYear = 31'536'000;  // Actual/365 Fixed

inline Instant at_unix(int64_t secs) { return *Instant::from_unix(secs, 0); }
inline Instant valuation_instant() { return at_unix(kValuationSecs); }

// Expiry a whole number of seconds after the valuation instant, so that T is
// exactly years_after when that is a multiple of 1/31'536'000.
inline VanillaOption make_option(OptionType type, ExerciseStyle style, double strike, double years_after) {
    VanillaOption o;
    o.strike = strike;
    o.type = type;
    o.style = style;
    o.expiry = at_unix(kValuationSecs + static_cast<int64_t>(years_after * kSecsPerYear));
    return o;
}

inline MarketRecord make_market(double spot, double r, double vol, std::optional<double> q = std::nullopt,
                                std::vector<Dividend> dividends = {}) {
    const auto act365 = DayCountConvention::act365_fixed();
    return MarketRecord{spot, RateCurve::continuous(r, act365), VolSurface::flat(vol, act365), std::move(dividends),
                        q ? std::optional<RateCurve>(RateCurve::continuous(*q, act365)) : std::nullopt};
}

// The default table with one slot replaced.
inline ConfigTable with_slot(ExerciseStyle s, OptionType t, PricingMethod m) {
    ConfigTable table = ConfigTable::defaults();
    table.slots[ConfigTable::slot_index(s, t)] = m;
    return table;
}

// A cancellation check that has always fired.
inline bool always_cancel(void*) { return true; }

inline PricingMethod analytic_method() { return {PricingMethod::Kind::Analytic, std::nullopt, std::nullopt}; }
inline PricingMethod fdm_method(std::optional<FdmConfig> settings = std::nullopt) {
    return {PricingMethod::Kind::Fdm, settings, std::nullopt};
}

}  // namespace zub::testing
