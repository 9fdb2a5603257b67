// Volatility surface: the Black-Scholes volatility for a strike and a
// horizon in years, with the day-count convention those horizons are in.
//
// Three forms:
// - flat: one volatility everywhere;
// - term structure: volatilities at tenors from a reference date, linear in
//   t between them and extended linearly beyond (the strike is ignored);
// - SSVI (the extended form, one ρ and ψ per expiry): a total implied
//   variance w(k, t) of log-forward moneyness k = ln(K / F(t)), with the
//   forwards F stored with it (sticky strike: a spot bump moves neither F
//   nor the volatility).  At a listed expiry t_i
//       w(k) = (θ + ρψk + √((ψk + ρθ)² + θ²(1 − ρ²))) / 2
//   with the ATM total variance θ_i, the ATM curvature scale ψ_i and the
//   correlation ρ_i (SSVI's φ is ψ/θ).  Between expiries θ, ψ and ρψ are
//   linear in t; before the first expiry w(k, t) = (t/t₁)·w₁(k), a constant
//   volatility smile; after the last, θ grows on with the last interval's
//   slope (with one expiry, at θ₁/t₁) and ψ, ρ stay.  The surface is free
//   of static arbitrage for every t when each expiry has ψ(1 + |ρ|) < 4 and
//   ψ²(1 + |ρ|) ≤ 4θ (no butterfly: Gatheral and Jacquier's conditions) and
//   neighbours share ρ, with θ rising, ψ non-decreasing and ψ/θ
//   non-increasing (no calendar spread: their condition on θφ(θ), φ = ψ/θ);
//   the wings are then linear in k with slopes ψ(1 ± ρ)/2 < 2.  ln F is
//   linear in t between 0 (the spot) and the expiries and extended with the
//   last slope.
#pragma once

#include <cmath>
#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/period.hpp"

namespace zub {

struct SsviParameters {
    double spot = 0.0;             // F(0)
    std::vector<double> expiries;  // years, increasing, positive
    std::vector<double> forwards;  // F at each expiry
    std::vector<double> thetas;    // ATM total variance at each expiry
    std::vector<double> psis;      // ψ at each expiry
    std::vector<double> rhos;      // ρ at each expiry

    // w(k), w'(k) and w''(k) of the slice (θ, ψ, ρ).
    static void slice(double k, double theta, double psi, double rho, double out[3]) noexcept;
    // True when the slices meet the conditions for a surface free of static
    // arbitrage given in the header comment.
    bool arbitrage_free() const noexcept;
};

struct VolTermStructure {
    Date reference_date;
    std::vector<Tenor> tenors;
    std::vector<double> times;  // year fractions of the tenors
    std::vector<double> vols;
};

// What volatility() reads at one horizon, worked out once for the options
// that share it; a surface that ignores the strike keeps its answer here.
struct VolSlice {
    double vol = 0.0;
    bool shaped = false;
    double log_forward = 0.0, theta = 0.0, psi = 0.0, rho_psi = 0.0, rho_theta = 0.0, rest = 0.0;
    double scale = 1.0, t = 1.0;  // w = scale * w(k); vol = sqrt(w / t)
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
    // forwards and thetas, finite non-negative psis, |ρ| < 1.  Arbitrage is
    // not refused here: check_arbitrage reports it.
    static Outcome<VolSurface> ssvi(SsviParameters p, const DayCountConvention& dcc);

    double volatility(double strike, double t) const noexcept {
        return form_ == Form::Flat ? vol_ : volatility(slice(t), strike);
    }
    VolSlice slice(double t) const noexcept;
    static double volatility(const VolSlice& s, double strike) noexcept {
        if (!s.shaped) return s.vol;
        const double k = std::log(strike) - s.log_forward;
        const double a = s.psi * k + s.rho_theta;
        const double w = s.scale * 0.5 * (s.theta + s.rho_psi * k + std::sqrt(a * a + s.rest));
        return std::sqrt(w / s.t);
    }
    const DayCountConvention& day_count() const noexcept { return dcc_; }
    // The horizon volatility() takes for an option expiring at `expiry`:
    // the year fraction from `valuation` under the surface's day count, or
    // `years` (any value serves) where the surface ignores it.
    double horizon(const Instant& valuation, const Instant& expiry, double years) const {
        return form_ == Form::Flat ? years : year_fraction(valuation, expiry, dcc_);
    }
    Form form() const noexcept { return form_; }

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

    Form form_ = Form::Flat;
    double vol_;
    DayCountConvention dcc_;
    std::shared_ptr<const SsviParameters> ssvi_;
    std::shared_ptr<const VolTermStructure> term_;
};

}  // namespace zub
