// The closed form and the execution layer (input gathering, method
// dispatch, implied-volatility search) without Python: the Python
// benchmark's times less the boundary.  `make bench-cpp`; the
// finite-difference solve itself is in bench_fdm.cpp.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/period.hpp"
#include "execution/valuation.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/market_record.hpp"
#include "orchestration/analytic.hpp"
#include "orchestration/fdm.hpp"

namespace {

using namespace zub;

// S=100, r=5 %, q=0, σ=20 %, T=1 exactly (365 days after the valuation instant).
constexpr int64_t kValuationSecs = 1'735'776'000;  // 2025-01-02 00:00 UTC
constexpr int64_t kYearSecs = 31'536'000;
constexpr double kSpot = 100.0, kRate = 0.05, kVol = 0.20;

Instant valuation() { return *Instant::from_unix(kValuationSecs, 0); }

VanillaOption option(OptionType type, ExerciseStyle style, double strike) {
    VanillaOption o;
    o.strike = strike;
    o.type = type;
    o.style = style;
    o.expiry = *Instant::from_unix(kValuationSecs + kYearSecs, 0);
    return o;
}

MarketRecord market() {
    const auto act365 = DayCountConvention::act365_fixed();
    return MarketRecord{kSpot, RateCurve::continuous(kRate, act365), VolSurface::flat(kVol, act365), {}, std::nullopt};
}

void BM_BlackScholes(benchmark::State& state) {
    double strike = 100.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(strike);
        benchmark::DoNotOptimize(
            black_scholes(OptionType::Call, strike, 1.0, {.spot = kSpot, .vol = kVol, .rate = kRate, .carry = 0.0}));
    }
}
BENCHMARK(BM_BlackScholes);

void BM_ValueOptionEuropean(benchmark::State& state) {
    const auto call = option(OptionType::Call, ExerciseStyle::European, 100.0);
    const auto mkt = market();
    const Instant now = valuation();
    for (auto _ : state) {
        auto r = value_option(call, mkt, ConfigTable::defaults(), now);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ValueOptionEuropean);

void BM_ImpliedVolEuropean(benchmark::State& state) {
    const auto call = option(OptionType::Call, ExerciseStyle::European, 110.0);
    const auto mkt = market();
    const Instant now = valuation();
    const double target =
        black_scholes(OptionType::Call, 110.0, 1.0, {.spot = kSpot, .vol = 0.27, .rate = kRate, .carry = 0.0}).price;
    for (auto _ : state) {
        auto r = implied_volatility(call, mkt, ConfigTable::defaults(), now, target);
        if (!r) state.SkipWithError("implied_volatility failed");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ImpliedVolEuropean);

void BM_ImpliedVolAmericanPut(benchmark::State& state) {
    const auto put = option(OptionType::Put, ExerciseStyle::American, 100.0);
    const auto mkt = market();
    const Instant now = valuation();
    for (auto _ : state) {
        auto r = implied_volatility(put, mkt, ConfigTable::defaults(), now, 7.0);
        if (!r) state.SkipWithError("implied_volatility failed");
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_ImpliedVolAmericanPut)->Unit(benchmark::kMicrosecond);

// A chain of 64 American puts, strikes 85 to 115, quoted at prices of a
// smile: searched one by one (0) or as one block (1), whose searches share
// their finite-difference trials on a kept workspace.  Time per quote.
void BM_ImpliedVolAmericanChain(benchmark::State& state) {
    constexpr std::size_t n = 64;
    const auto mkt = market();
    const Instant now = valuation();
    std::vector<VanillaOption> puts;
    std::vector<double> targets;
    for (std::size_t i = 0; i < n; ++i) {
        const double strike = 85.0 + 30.0 * static_cast<double>(i) / (n - 1);
        const double m = std::log(strike / kSpot);
        MarketRecord smiled = mkt;
        smiled.vol_surface = VolSurface::flat(0.20 - 0.10 * m + 0.60 * m * m, DayCountConvention::act365_fixed());
        puts.push_back(option(OptionType::Put, ExerciseStyle::American, strike));
        targets.push_back(value_option(puts.back(), smiled, ConfigTable::defaults(), now)->price);
    }
    const std::vector<std::optional<double>> spots(n);
    std::vector<std::optional<Outcome<double>>> out(n);
    FdmLaneWorkspace workspace;
    for (auto _ : state) {
        if (state.range(0) == 0) {
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = implied_volatility(puts[i], mkt, ConfigTable::defaults(), now, targets[i]);
            }
        } else {
            for (auto& o : out) o.reset();
            implied_volatilities(puts, targets, spots, mkt, ConfigTable::defaults(), now, {}, {}, out, &workspace);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(n));
}
BENCHMARK(BM_ImpliedVolAmericanChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
