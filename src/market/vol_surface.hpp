// Volatility surface: the Black-Scholes volatility for a strike and a
// horizon in years, with the day-count convention those horizons are in.
//
// Three forms:
// - flat: one volatility everywhere;
// - term structure: volatilities at tenors from a reference date, linear in
//   t between them and extended linearly beyond (the strike is ignored);
// - SSVI: a total implied variance w(k, t) of log-forward moneyness
//   k = ln(K / F(t)), with the forwards F stored with it (sticky strike: a
//   spot bump moves neither F nor the volatility).  At a listed expiry t_i
//       w(k) = θ_i/2 · (1 + ρφk + √((φk + ρ)² + 1 − ρ²)),  φ = η / (θ_i^γ (1 + θ_i)^(1−γ)).
//   Between expiries θ is linear in t and w is the same formula at θ(t);
//   before the first expiry w(k, t) = (t/t₁)·w₁(k), a constant volatility
//   smile; after the last, θ grows on with the last interval's slope (with
//   one expiry, at θ₁/t₁).  With γ in [0, 1/2], η(1 + |ρ|) ≤ 2 and θ
//   non-decreasing, the surface is free of butterfly and calendar
//   arbitrage for every t and its wings are linear in k with slopes
//   θφ(1 ± ρ)/2 < 2.  ln F is linear in t between 0 (the spot) and the
//   expiries and extended with the last slope.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/period.hpp"

namespace zub {

struct SsviParameters {
    double spot = 0.0;                // F(0)
    std::vector<double> expiries;     // years, increasing, positive
    std::vector<double> forwards;     // F at each expiry
    std::vector<double> thetas;       // ATM total variance at each expiry
    double rho = 0.0, eta = 0.0, gamma = 0.0;

    // φ(θ) of the power law.
    double phi(double theta) const noexcept;
    // w(k), w'(k) and w''(k) of the slice with ATM total variance θ.
    void slice(double k, double theta, double phi, double out[3]) const noexcept;
    // True when the parameters meet the sufficient conditions for a surface
    // free of static arbitrage given in the header comment.
    bool arbitrage_free() const noexcept;
};

struct VolTermStructure {
    Date reference_date;
    std::vector<Tenor> tenors;
    std::vector<double> times;  // year fractions of the tenors
    std::vector<double> vols;
};

class VolSurface {
public:
    enum class Form : uint8_t { Flat, TermStructure, Ssvi };

    static VolSurface flat(double vol, const DayCountConvention& dcc) { return VolSurface(vol, dcc); }
    // Fails (ValueError) when the lengths differ, there are fewer than two
    // tenors, their times do not increase, or a vol is not finite.
    static Outcome<VolSurface> term_structure(Date reference_date, std::span<const Tenor> tenors,
                                              std::span<const double> vols, const DayCountConvention& dcc);
    // Fails (ValueError) unless the surface is defined everywhere: a positive
    // spot, at least one expiry, increasing positive expiries, positive
    // forwards and thetas, |ρ| < 1, η ≥ 0 and γ in [0, 1).  Arbitrage is
    // not refused here: check_surface reports it.
    static Outcome<VolSurface> ssvi(SsviParameters p, const DayCountConvention& dcc);

    double volatility(double strike, double t) const noexcept {
        return form_ == Form::Flat ? vol_ : shaped_volatility(strike, t);
    }
    const DayCountConvention& day_count() const noexcept { return dcc_; }
    // The horizon volatility() takes for an option expiring at `expiry`:
    // the year fraction from `valuation` under the surface's day count, or
    // `years` (any value serves) where the surface ignores it.
    double horizon(const Instant& valuation, const Instant& expiry, double years) const {
        return form_ == Form::Flat ? years : year_fraction(valuation, expiry, dcc_);
    }
    Form form() const noexcept { return form_; }

    // The forward the surface measures moneyness from, at horizon t; NaN
    // for forms that ignore the strike.
    double forward(double t) const noexcept;
    // Total implied variance σ²·t at log-forward moneyness k (for forms that
    // ignore the strike, at any k).
    double total_variance(double k, double t) const noexcept { return smile(k, t).w; }
    // w and its first two derivatives in k, exact.
    struct Smile {
        double w, dw, d2w;
    };
    Smile smile(double k, double t) const noexcept;

    // The stored data of each form (nullptr for the other forms).
    const SsviParameters* ssvi_parameters() const noexcept;
    const VolTermStructure* term_structure_data() const noexcept;

private:
    VolSurface(double v, const DayCountConvention& d) : vol_(v), dcc_(d) {}
    double shaped_volatility(double strike, double t) const noexcept;

    Form form_ = Form::Flat;
    double vol_;
    DayCountConvention dcc_;
    std::shared_ptr<const SsviParameters> ssvi_;
    std::shared_ptr<const VolTermStructure> term_;
};

}  // namespace zub
