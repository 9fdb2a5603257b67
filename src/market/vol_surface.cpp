#include "market/vol_surface.hpp"

#include <algorithm>
#include <cmath>

namespace zub {

namespace {

bool finite_positive(double x) noexcept { return std::isfinite(x) && x > 0.0; }

// The index i of the interval [x[i], x[i+1]] holding z, clamped to the ends.
std::size_t interval(std::span<const double> x, double z) noexcept {
    const auto it = std::upper_bound(x.begin() + 1, x.end() - 1, z);
    return static_cast<std::size_t>(it - x.begin()) - 1;
}

double linear(std::span<const double> x, std::span<const double> y, double z) noexcept {
    const std::size_t i = interval(x, z);
    return y[i] + (z - x[i]) * ((y[i + 1] - y[i]) / (x[i + 1] - x[i]));
}

// SSVI parameters with their derived tables: ln F at the nodes (t = 0 and
// the expiries) and ρψ at the expiries.
struct SsviSurface : SsviParameters {
    std::vector<double> node_times;    // 0, t_1, ..., t_n
    std::vector<double> node_log_fwd;  // ln S, ln F_1, ...
    std::vector<double> skews;         // ρ_i ψ_i
    double late_slope = 0.0;           // dθ/dt after the last expiry

    explicit SsviSurface(SsviParameters p) : SsviParameters(std::move(p)) {
        const std::size_t n = expiries.size();
        node_times.assign(1, 0.0);
        node_log_fwd.assign(1, std::log(spot));
        for (std::size_t i = 0; i < n; ++i) {
            node_times.push_back(expiries[i]);
            node_log_fwd.push_back(std::log(forwards[i]));
            skews.push_back(rhos[i] * psis[i]);
        }
        late_slope = n == 1 ? thetas[0] / expiries[0]
                            : std::max(0.0, (thetas[n - 1] - thetas[n - 2]) / (expiries[n - 1] - expiries[n - 2]));
    }

    double log_forward(double t) const noexcept {
        if (!(t > 0.0)) return node_log_fwd[0];
        return linear(node_times, node_log_fwd, t);
    }

    // The slice at horizon t, and the factor its variance is scaled by
    // (below 1 only before the first expiry).
    struct Slice {
        double theta, psi, rho, scale;
    };
    Slice slice_at(double t) const noexcept {
        const std::size_t n = expiries.size();
        if (t <= expiries[0]) return {thetas[0], psis[0], rhos[0], std::max(t, 0.0) / expiries[0]};
        if (t >= expiries[n - 1]) {
            return {thetas[n - 1] + (t - expiries[n - 1]) * late_slope, psis[n - 1], rhos[n - 1], 1.0};
        }
        const std::size_t i = interval(expiries, t);
        if (t == expiries[i]) return {thetas[i], psis[i], rhos[i], 1.0};
        const double a = (t - expiries[i]) / (expiries[i + 1] - expiries[i]);
        const double psi = psis[i] + a * (psis[i + 1] - psis[i]);
        const double skew = skews[i] + a * (skews[i + 1] - skews[i]);
        return {thetas[i] + a * (thetas[i + 1] - thetas[i]), psi, psi > 0.0 ? skew / psi : 0.0, 1.0};
    }
};

const SsviSurface& as_surface(const SsviParameters& p) { return static_cast<const SsviSurface&>(p); }

}  // namespace

void SsviParameters::slice(double k, double theta, double psi, double rho, double out[3]) noexcept {
    const double a = psi * k + rho * theta;
    const double c = theta * theta * (1.0 - rho * rho);
    const double root = std::sqrt(a * a + c);
    out[0] = 0.5 * (theta + rho * psi * k + root);
    out[1] = 0.5 * psi * (rho + a / root);
    out[2] = 0.5 * psi * psi * c / (root * root * root);
}

bool SsviParameters::arbitrage_free() const noexcept {
    for (std::size_t i = 0; i < thetas.size(); ++i) {
        const double wing = psis[i] * (1.0 + std::abs(rhos[i]));
        if (!(wing < 4.0 && psis[i] * wing <= 4.0 * thetas[i])) return false;
        if (i == 0) continue;
        if (!(rhos[i] == rhos[i - 1] && thetas[i] > thetas[i - 1] && psis[i] >= psis[i - 1] &&
              psis[i] * thetas[i - 1] <= psis[i - 1] * thetas[i]))
            return false;
    }
    return true;
}

Outcome<VolSurface> VolSurface::term_structure(Date reference_date, std::span<const Tenor> tenors,
                                               std::span<const double> vols, const DayCountConvention& dcc) {
    if (tenors.size() != vols.size()) return Error::value("tenors and vols differ in length");
    if (tenors.size() < 2) return Error::value("a term structure needs at least two tenors");
    auto data = std::make_shared<VolTermStructure>();
    data->reference_date = reference_date;
    data->tenors.assign(tenors.begin(), tenors.end());
    data->vols.assign(vols.begin(), vols.end());
    const Instant origin{reference_date, 0, 0};
    for (std::size_t k = 0; k < tenors.size(); ++k) {
        data->times.push_back(year_fraction(origin, Instant{advance(tenors[k], reference_date), 0, 0}, dcc));
        if (k > 0 && !(data->times[k] > data->times[k - 1]))
            return Error::value("the tenors' times must increase");
        if (!std::isfinite(vols[k])) return Error::value("every vol must be finite");
    }
    VolSurface s(data->vols[0], dcc);
    s.form_ = Form::TermStructure;
    s.term_ = std::move(data);
    return s;
}

Outcome<VolSurface> VolSurface::ssvi(SsviParameters p, const DayCountConvention& dcc) {
    const std::size_t n = p.expiries.size();
    if (n == 0 || p.forwards.size() != n || p.thetas.size() != n || p.psis.size() != n || p.rhos.size() != n)
        return Error::value("expiries, forwards, thetas, psis and rhos must be non-empty and of one length");
    if (!finite_positive(p.spot)) return Error::value("spot must be finite and positive");
    for (std::size_t i = 0; i < n; ++i) {
        if (!finite_positive(p.expiries[i]) || (i > 0 && !(p.expiries[i] > p.expiries[i - 1])))
            return Error::value("expiries must be finite, positive and increasing");
        if (!finite_positive(p.forwards[i]) || !finite_positive(p.thetas[i]))
            return Error::value("forwards and thetas must be finite and positive");
        if (!(std::isfinite(p.psis[i]) && p.psis[i] >= 0.0)) return Error::value("psis must be finite and non-negative");
        if (!(std::abs(p.rhos[i]) < 1.0)) return Error::value("rhos must lie in (-1, 1)");
    }
    VolSurface s(std::sqrt(p.thetas[0] / p.expiries[0]), dcc);
    s.form_ = Form::Ssvi;
    s.ssvi_ = std::make_shared<const SsviSurface>(std::move(p));
    return s;
}

VolSurface::Smile VolSurface::smile(double k, double t) const noexcept {
    switch (form_) {
        case Form::Ssvi: {
            const SsviSurface& s = as_surface(*ssvi_);
            const SsviSurface::Slice at = s.slice_at(t);
            double w[3];
            SsviParameters::slice(k, at.theta, at.psi, at.rho, w);
            return {at.scale * w[0], at.scale * w[1], at.scale * w[2]};
        }
        case Form::TermStructure: {
            const double v = linear(term_->times, term_->vols, t);
            return {v * v * t, 0.0, 0.0};
        }
        case Form::Flat:
            break;
    }
    return {vol_ * vol_ * t, 0.0, 0.0};
}

VolSlice VolSurface::slice(double t) const noexcept {
    switch (form_) {
        case Form::Flat:
            return {.vol = vol_};
        case Form::TermStructure:
            return {.vol = linear(term_->times, term_->vols, t)};
        case Form::Ssvi:
            break;
    }
    const SsviSurface& s = as_surface(*ssvi_);
    // At and before t = 0 the short-end smile's volatility, sqrt(w1(k)/t1).
    const bool started = t > 0.0;
    const SsviSurface::Slice at = started ? s.slice_at(t) : SsviSurface::Slice{s.thetas[0], s.psis[0], s.rhos[0], 1.0};
    return {.vol = 0.0,
            .shaped = true,
            .log_forward = s.log_forward(t),
            .theta = at.theta,
            .psi = at.psi,
            .rho_psi = at.rho * at.psi,
            .rho_theta = at.rho * at.theta,
            .rest = at.theta * at.theta * (1.0 - at.rho * at.rho),
            .scale = at.scale,
            .t = started ? t : s.expiries[0]};
}

const SsviParameters* VolSurface::ssvi_parameters() const noexcept { return ssvi_.get(); }
const VolTermStructure* VolSurface::term_structure_data() const noexcept { return term_.get(); }

}  // namespace zub
