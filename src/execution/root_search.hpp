// The implied-volatility searches over the volatility bracket [0.1, 5.0]:
// Brent's method and bisection on a price function of sigma.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/error.hpp"
#include "core/number_text.hpp"
#include "execution/valuation.hpp"

namespace zub::root_search {

constexpr double kVolLow = 0.1;
constexpr double kVolHigh = 5.0;
static_assert(kVolHigh - kVolLow == 4.9);

// sigma -> model price - target, remembering the first engine failure so the
// search can stop on it.
template <class Price>
class Objective {
public:
    Objective(Price price, double target) : price_(std::move(price)), target_(target) {}

    // The model price at sigma; false when the engine failed, the error then
    // waiting in take_failure().
    bool price(double sigma, double& out) {
        Outcome<double> p = price_(sigma);
        if (!p) {
            failure_ = std::move(p).error();
            return false;
        }
        out = *p;
        return true;
    }
    // price(sigma) - target, with the same failure rule.
    bool operator()(double sigma, double& out) {
        if (!price(sigma, out)) return false;
        out -= target_;
        return true;
    }
    Error take_failure() { return std::move(*failure_); }
    double target() const noexcept { return target_; }

private:
    Price price_;
    double target_;
    std::optional<Error> failure_;
};

template <class F>
Outcome<double> brent(F& f, double tol, uint64_t max_iterations) {
    double f_lo, f_hi;
    if (!f(kVolLow, f_lo)) return f.take_failure();
    if (!f(kVolHigh, f_hi)) return f.take_failure();
    if (std::fabs(f_lo) < tol) return kVolLow;
    if (std::fabs(f_hi) < tol) return kVolHigh;
    // Written so that a NaN at either end counts as "no sign change".
    if (!(f_lo * f_hi < 0.0)) {
        return Error::value("Root is not bracketed. f(low) = " + format_shortest(f_lo) +
                            ", f(high) = " + format_shortest(f_hi) + ". Target price might be out of bounds.");
    }
    const auto not_converged = [] { return Error::value("Brent's method failed to converge within max iterations"); };
    if (max_iterations == 0) return not_converged();

    double a = kVolLow, fa = f_lo;
    double b = kVolHigh, fb = f_hi;
    double c = kVolLow, fc = f_lo;
    double d = kVolHigh - kVolLow, e = d;  // the width of the starting bracket
    for (uint64_t iteration = 1;; ++iteration) {
        if (std::fabs(fb) > std::fabs(fc)) {  // keep the better estimate in b
            a = b, fa = fb;
            b = c, fb = fc;
            c = a, fc = fa;
        }
        const double tol1 = 2e-15 * std::fabs(b) + 0.5 * tol;
        const double xm = 0.5 * (c - b);
        if (std::fabs(fb) < tol || std::fabs(xm) <= tol1) return b;

        bool interpolated = false;
        if (std::fabs(e) >= tol1 && std::fabs(fa) > std::fabs(fb)) {
            const double s = fb / fa;
            double p, q;
            if (std::fabs(a - c) < 1e-15) {  // secant
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {  // inverse quadratic
                const double t = fa / fc;
                const double u = fb / fc;
                p = s * (2.0 * xm * t * (t - u) - (b - a) * (u - 1.0));
                q = (t - 1.0) * (u - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            p = std::fabs(p);
            const double min1 = 3.0 * xm * q - std::fabs(tol1 * q);
            const double min2 = std::fabs(e * q);
            if (2.0 * p < std::fmin(min1, min2)) {  // fmin ignores a NaN operand
                e = d;
                d = p / q;
                interpolated = true;
            }
        }
        if (!interpolated) {
            d = xm;
            e = xm;
        }

        a = b, fa = fb;
        if (std::fabs(d) > tol1) {
            b += d;
        } else {
            b += xm > 0.0 ? tol1 : -tol1;
        }
        if (!f(b, fb)) return f.take_failure();
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a, fc = fa;
            d = e = b - a;
        }
        if (iteration == max_iterations) return not_converged();
    }
}

template <class F>
Outcome<double> bisection(F& f, double tol, uint64_t max_iterations) {
    const double target = f.target();
    double p_lo, p_hi;
    if (!f.price(kVolLow, p_lo)) return f.take_failure();
    if (!f.price(kVolHigh, p_hi)) return f.take_failure();
    // Negated comparisons: a NaN target or a NaN end price fails here instead
    // of running the search on a meaningless interval.
    if (!(p_lo <= target)) return Error::value("Target price " + format_shortest(target) + " is below value at min vol");
    if (!(target <= p_hi)) return Error::value("Target price " + format_shortest(target) + " is above value at max vol");
    const auto not_converged = [] { return Error::value("Bisection failed to converge within max iterations"); };
    if (max_iterations == 0) return not_converged();

    double lo = kVolLow, hi = kVolHigh;
    for (uint64_t iteration = 1;; ++iteration) {
        const double mid = (lo + hi) * 0.5;
        double v;
        if (!f(mid, v)) return f.take_failure();
        if (std::fabs(v) < tol) return mid;
        if ((hi - lo) * 0.5 < 1e-8) return mid;
        if (v > 0.0) {
            hi = mid;
        } else {
            lo = mid;
        }
        if (iteration == max_iterations) return not_converged();
    }
}

template <class Price>
Outcome<double> search(const ImpliedVolSolver& solver, double target, Price price) {
    Objective<Price> f(std::move(price), target);
    if (solver.kind == ImpliedVolSolver::Kind::Bisection) return bisection(f, solver.tolerance, solver.max_iterations);
    return brent(f, solver.tolerance, solver.max_iterations);
}

}  // namespace zub::root_search
