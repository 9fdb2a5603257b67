// The implied-volatility searches over a volatility bracket (by default
// [0.1, 5.0]): Brent's method and bisection on a price function of sigma.
// (The European closed form is inverted exactly instead, where asked:
// math/implied_black.hpp.)
//
// A Search is driven from outside, one trial at a time: trial() is the
// volatility to price next, feed() takes the model price there (fail()
// the engine's failure, which ends the search), and once done() the
// outcome waits in take_result().  That lets several searches share their
// trial valuations; `search` drives one alone.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/error.hpp"
#include "core/number_text.hpp"
#include "execution/valuation.hpp"

namespace zub::root_search {

static_assert(kDefaultVolHigh - kDefaultVolLow == 4.9);

// The bracket of one search and the caller's price tolerance (absent: the
// solver's).
struct Bracket {
    double low = kDefaultVolLow;
    double high = kDefaultVolHigh;
    std::optional<double> tolerance;
};

class Search {
public:
    Search(const ImpliedVolSolver& solver, const Bracket& bounds, double target) noexcept
        : bisection_(solver.kind == ImpliedVolSolver::Kind::Bisection),
          target_(target),
          tol_(bounds.tolerance.value_or(solver.tolerance)),
          max_iterations_(solver.max_iterations),
          low_(bounds.low),
          high_(bounds.high),
          trial_(bounds.low) {}

    // The volatility whose price the search needs next (until done()).
    double trial() const noexcept { return trial_; }
    bool done() const noexcept { return result_.has_value(); }

    // The model price at trial().
    void feed(double price) {
        if (bisection_) {
            bisection_step(price);
        } else {
            brent_step(price - target_);
        }
    }
    // The engine failed at trial(): that failure is the outcome.
    void fail(Error e) { result_.emplace(std::move(e)); }

    Outcome<double> take_result() { return std::move(*result_); }

private:
    enum class Phase : uint8_t { Low, High, Loop };

    void finish(Outcome<double> r) { result_.emplace(std::move(r)); }

    // f = price - target at trial().
    void brent_step(double f) {
        switch (phase_) {
            case Phase::Low:
                fa_ = f;  // f(low), kept until the bracket is known
                phase_ = Phase::High;
                trial_ = high_;
                return;
            case Phase::High:
                return brent_start(fa_, f);
            case Phase::Loop:
                fb_ = f;
                if ((fb_ > 0.0 && fc_ > 0.0) || (fb_ < 0.0 && fc_ < 0.0)) {
                    c_ = a_, fc_ = fa_;
                    d_ = e_ = b_ - a_;
                }
                if (iteration_ == max_iterations_) return finish(brent_not_converged());
                ++iteration_;
                return brent_next();
        }
    }

    static Error brent_not_converged() {
        return Error::value(Reason::NotConverged, "Brent's method failed to converge within max iterations");
    }

    void brent_start(double f_lo, double f_hi) {
        if (std::fabs(f_lo) < tol_) return finish(low_);
        if (std::fabs(f_hi) < tol_) return finish(high_);
        // Written so that a NaN at either end counts as "no sign change".
        if (!(f_lo * f_hi < 0.0)) {
            return finish(Error::value(Reason::NotBracketed, "Root is not bracketed. f(low) = " +
                                       format_shortest(f_lo) + ", f(high) = " + format_shortest(f_hi) +
                                       ". Target price might be out of bounds."));
        }
        if (max_iterations_ == 0) return finish(brent_not_converged());
        a_ = low_, fa_ = f_lo;
        b_ = high_, fb_ = f_hi;
        c_ = low_, fc_ = f_lo;
        d_ = high_ - low_, e_ = d_;  // the width of the starting bracket
        iteration_ = 1;
        phase_ = Phase::Loop;
        brent_next();
    }

    // One iteration up to its new point b, which becomes the trial, or the
    // answer when the bracket is tight enough.
    void brent_next() {
        if (std::fabs(fb_) > std::fabs(fc_)) {  // keep the better estimate in b
            a_ = b_, fa_ = fb_;
            b_ = c_, fb_ = fc_;
            c_ = a_, fc_ = fa_;
        }
        const double tol1 = 2e-15 * std::fabs(b_) + 0.5 * tol_;
        const double xm = 0.5 * (c_ - b_);
        if (std::fabs(fb_) < tol_ || std::fabs(xm) <= tol1) return finish(b_);

        bool interpolated = false;
        if (std::fabs(e_) >= tol1 && std::fabs(fa_) > std::fabs(fb_)) {
            const double s = fb_ / fa_;
            double p, q;
            if (std::fabs(a_ - c_) < 1e-15) {  // secant
                p = 2.0 * xm * s;
                q = 1.0 - s;
            } else {  // inverse quadratic
                const double t = fa_ / fc_;
                const double u = fb_ / fc_;
                p = s * (2.0 * xm * t * (t - u) - (b_ - a_) * (u - 1.0));
                q = (t - 1.0) * (u - 1.0) * (s - 1.0);
            }
            if (p > 0.0) q = -q;
            p = std::fabs(p);
            const double min1 = 3.0 * xm * q - std::fabs(tol1 * q);
            const double min2 = std::fabs(e_ * q);
            if (2.0 * p < std::fmin(min1, min2)) {  // fmin ignores a NaN operand
                e_ = d_;
                d_ = p / q;
                interpolated = true;
            }
        }
        if (!interpolated) {
            d_ = xm;
            e_ = xm;
        }

        a_ = b_, fa_ = fb_;
        if (std::fabs(d_) > tol1) {
            b_ += d_;
        } else {
            b_ += xm > 0.0 ? tol1 : -tol1;
        }
        trial_ = b_;
    }

    // Bisection compares the end prices with the target and then halves
    // [lo, hi] = [a_, b_] on the sign of price - target at the midpoint.
    void bisection_step(double price) {
        switch (phase_) {
            case Phase::Low:
                fa_ = price;  // the price at low
                phase_ = Phase::High;
                trial_ = high_;
                return;
            case Phase::High: {
                const double p_lo = fa_, p_hi = price;
                // Negated comparisons: a NaN target or a NaN end price fails
                // here instead of running the search on a meaningless interval.
                if (!(p_lo <= target_)) {
                    return finish(Error::value(Reason::NotBracketed, "Target price " + format_shortest(target_) +
                                                                         " is below value at min vol"));
                }
                if (!(target_ <= p_hi)) {
                    return finish(Error::value(Reason::NotBracketed, "Target price " + format_shortest(target_) +
                                                                         " is above value at max vol"));
                }
                if (max_iterations_ == 0) return finish(bisection_not_converged());
                a_ = low_, b_ = high_;
                iteration_ = 1;
                phase_ = Phase::Loop;
                trial_ = (a_ + b_) * 0.5;
                return;
            }
            case Phase::Loop: {
                const double mid = trial_;
                const double v = price - target_;
                if (std::fabs(v) < tol_) return finish(mid);
                if ((b_ - a_) * 0.5 < 1e-8) return finish(mid);
                if (v > 0.0) {
                    b_ = mid;
                } else {
                    a_ = mid;
                }
                if (iteration_ == max_iterations_) return finish(bisection_not_converged());
                ++iteration_;
                trial_ = (a_ + b_) * 0.5;
                return;
            }
        }
    }

    static Error bisection_not_converged() {
        return Error::value(Reason::NotConverged, "Bisection failed to converge within max iterations");
    }

    bool bisection_;
    Phase phase_ = Phase::Low;
    double target_;
    double tol_;
    uint64_t max_iterations_;
    double low_, high_;
    double trial_;
    uint64_t iteration_ = 0;
    // Brent's points and values; bisection keeps its interval in a_, b_.
    double a_ = 0.0, fa_ = 0.0, b_ = 0.0, fb_ = 0.0, c_ = 0.0, fc_ = 0.0, d_ = 0.0, e_ = 0.0;
    std::optional<Outcome<double>> result_;
};

// Runs one search to its end, pricing each trial with `price` (sigma ->
// Outcome<double>).
template <class Price>
Outcome<double> search(const ImpliedVolSolver& solver, const Bracket& bounds, double target, Price price) {
    Search s(solver, bounds, target);
    while (!s.done()) {
        Outcome<double> p = price(s.trial());
        if (p) {
            s.feed(*p);
        } else {
            s.fail(std::move(p).error());
        }
    }
    return s.take_result();
}

// A price and its exact derivative in sigma.
struct PriceVega {
    double price;
    double vega;
};

// Safeguarded Newton on a price function with its exact vega (sigma ->
// Outcome<PriceVega>).  Both ends of the bracket are priced first; a target
// within `tolerance` of an end's price is that end, and a bracket without a
// sign change fails with Brent's message.  Then Newton steps from `start`
// (the bracket's midpoint when not inside it), each step that leaves the
// shrinking bracket or meets a vega that is not positive replaced by
// bisection, until the price is within `tolerance` of the target or a step
// in sigma falls below 1e-10.
template <class Priced>
Outcome<double> newton(const Bracket& bounds, double target, double tolerance, uint64_t max_iterations,
                       double start, Priced priced) {
    const auto f = [&](double sigma) -> Outcome<PriceVega> {
        Outcome<PriceVega> p = priced(sigma);
        if (p) p->price -= target;
        return p;
    };
    Outcome<PriceVega> lo = f(bounds.low);
    if (!lo) return std::move(lo).error();
    Outcome<PriceVega> hi = f(bounds.high);
    if (!hi) return std::move(hi).error();
    if (std::fabs(lo->price) < tolerance) return bounds.low;
    if (std::fabs(hi->price) < tolerance) return bounds.high;
    if (!(lo->price * hi->price < 0.0)) {
        return Error::value(Reason::NotBracketed, "Root is not bracketed. f(low) = " + format_shortest(lo->price) +
                                                      ", f(high) = " + format_shortest(hi->price) +
                                                      ". Target price might be out of bounds.");
    }
    // f(below) < 0 < f(above).
    double below = lo->price < 0.0 ? bounds.low : bounds.high;
    double above = lo->price < 0.0 ? bounds.high : bounds.low;
    double sigma = start > std::fmin(below, above) && start < std::fmax(below, above) ? start : 0.5 * (below + above);
    for (uint64_t i = 0; i < max_iterations; ++i) {
        Outcome<PriceVega> p = f(sigma);
        if (!p) return std::move(p).error();
        if (std::fabs(p->price) < tolerance) return sigma;
        (p->price < 0.0 ? below : above) = sigma;
        double next = sigma - p->price / p->vega;
        if (!(p->vega > 0.0) || !(next > std::fmin(below, above) && next < std::fmax(below, above))) {
            next = 0.5 * (below + above);
        }
        if (std::fabs(next - sigma) < 1e-10) return next;
        sigma = next;
    }
    return Error::value(Reason::NotConverged, "Newton's method failed to converge within max iterations");
}

}  // namespace zub::root_search
