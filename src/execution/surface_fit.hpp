// Volatility surfaces from option quotes: the European-equivalent vols of
// a chain (de-Americanised where the quotes are American), an SSVI surface
// fitted to them without static arbitrage, and a check of any surface for
// butterfly and calendar arbitrage.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "execution/valuation.hpp"
#include "market/vol_surface.hpp"

namespace zub {

// One quote.  Exactly one of price and vol is finite; bid and ask are NaN
// when absent (then every quote weighs the same).
struct SurfaceQuote {
    VanillaOption option;
    double price;
    double vol;
    double bid, ask;
};

// What became of each quote, in this order of precedence.
enum class QuoteStatus : uint8_t {
    Used,            // in the fit
    InvalidInput,    // a strike, price, vol, bid or ask no price can be made of
    Expired,         // at or past expiry
    Crossed,         // bid above ask
    BelowIntrinsic,  // at or below what the option is worth without volatility
    NoSolution,      // no volatility reproduces the price
    Outlier,         // far from the surface fitted to the others
    InTheMoney,      // in the money, its twin out of the money at its strike used instead
};
inline constexpr std::size_t kQuoteStatusCount = 8;

// The chain's expiries, in increasing order, each with the forward and
// carry implied by its quotes (from put-call parity on European pairs, or
// the carry at which American calls and puts give one volatility; the
// market's when the expiry has no pair).
struct ChainExpiry {
    Instant expiry;
    double T;               // years to it under the market's day count
    double forward;         // F(T)
    double carry;           // q: F = (S - PV(dividends)) e^{(r - q)T}
    bool carry_implied;     // from the quotes, not the market
    std::size_t used = 0;   // quotes used
};

struct EuropeanEquivalents {
    std::vector<QuoteStatus> status;     // per quote
    std::vector<double> vol;             // per quote; NaN unless usable
    std::vector<double> price;           // European price at that vol; NaN with it
    std::vector<std::size_t> expiry_of;  // per quote, index into expiries
    std::vector<ChainExpiry> expiries;
};

// Each quote's European-equivalent volatility: for a European quote its
// Black-Scholes implied vol at the expiry's implied forward; for an
// American one its implied vol under the configured American method at the
// expiry's implied carry (config's slot for its type, searched to 1e-10 in
// price), and the European price at that vol.  A quote in the money is set
// aside (InTheMoney) where the same strike is quoted out of the money.  Errors: the day-count mismatch, a cancelled call.
Outcome<EuropeanEquivalents> european_equivalents(std::span<const SurfaceQuote> quotes, const MarketRecord& market,
                                                  const ConfigTable& config, const Instant& valuation,
                                                  CancelCheck cancel = {});

struct SurfaceFit {
    VolSurface surface;
    EuropeanEquivalents quotes;  // statuses final (outliers marked)
    std::vector<double> fitted_vol;  // the surface's vol at each quote
    double rms = 0.0;                // vol RMS over the quotes used
    int iterations = 0;
};

// An SSVI surface (γ in [0, 1/2], η(1 + |ρ|) ≤ 2, θ increasing: free of
// static arbitrage) fitted by Levenberg-Marquardt to the European-equivalent
// vols, weighted by vega over the bid-ask spread where both are given;
// quotes far from a first fit are marked Outlier and the fit repeated.
// Errors: no expiry with a usable quote, those of european_equivalents.
Outcome<SurfaceFit> fit_surface(std::span<const SurfaceQuote> quotes, const MarketRecord& market,
                                const ConfigTable& config, const Instant& valuation, CancelCheck cancel = {});

// Static arbitrage of a surface on a grid of log-forward moneyness k and
// horizons t (both increasing): butterfly where g(k) < 0 (Gatheral and
// Jacquier's density condition, from w and its exact k-derivatives) at
// t > 0, calendar where w(k, t_j+1) < w(k, t_j), wing where the total
// variance's slope as |k| → ∞ reaches 2 (d+ then does not tend to -∞).
struct ArbitrageViolation {
    enum class Kind : uint8_t { Butterfly, Calendar, Wing };
    Kind kind;
    double k, t;
    double amount;  // g(k); the fall in w; the slope
};
std::vector<ArbitrageViolation> check_arbitrage(const VolSurface& surface, std::span<const double> ks,
                                                std::span<const double> ts, double tolerance = 1e-12);

}  // namespace zub
