#include "market/rate_curve.hpp"

namespace zub {

// Fixed texts that callers match; "Interpolation(...)" names the wrapped
// kind of error, not a type of this code.
std::string CurveError::text() const {
    if (length_mismatch) return "LengthMismatch";
    return std::string("Interpolation(") + to_string(inner) + ")";
}

RateCurve RateCurve::flat(const InterestRate& rate) {
    RateCurve c;
    c.rate_ = rate;
    return c;
}

RateCurve RateCurve::continuous(double rate, const DayCountConvention& dcc) {
    return flat(InterestRate{rate, Compounding{CompoundingKind::Continuous, 1}, dcc});
}

std::variant<RateCurve, CurveError> RateCurve::interpolated(Date reference_date, std::span<const Tenor> tenors,
                                                            std::span<const InterestRate> rates) {
    if (tenors.size() != rates.size()) return CurveError{true};

    // Node times run from midnight of the reference date to midnight of the
    // node date, each under its own rate's convention.
    const Instant origin{reference_date, 0, 0};
    std::vector<double> times;
    std::vector<double> zeros;
    times.reserve(tenors.size());
    zeros.reserve(rates.size());
    for (std::size_t k = 0; k < tenors.size(); ++k) {
        const Instant node{advance(tenors[k], reference_date), 0, 0};
        times.push_back(year_fraction(origin, node, rates[k].dcc));
        zeros.push_back(rates[k].rate);
    }

    // The arrays have equal lengths, so this reports too few points first,
    // then the first time that does not increase.
    auto interp = LinearInterpolator::make(make_shared_array(std::move(times)), make_shared_array(std::move(zeros)));
    if (auto* err = std::get_if<InterpolationError>(&interp)) return CurveError{false, *err};

    RateCurve c;
    c.rate_ = rates[0];
    c.interp_ = std::move(std::get<LinearInterpolator>(interp));
    c.tenors_.assign(tenors.begin(), tenors.end());
    c.rates_.assign(rates.begin(), rates.end());
    c.reference_date_ = reference_date;
    return c;
}

double RateCurve::zero_rate(double t) const noexcept { return interp_ ? interp_->value_at(t) : rate_.rate; }

double RateCurve::discount_factor(double t) const noexcept {
    if (!interp_) return rate_.discount_factor(t);
    // The first node's compounding governs the whole curve.  The factor does
    // not depend on the day count, so the default convention stands in.
    return InterestRate{interp_->value_at(t), rate_.compounding}.discount_factor(t);
}

DayCountConvention RateCurve::day_count() const { return rate_.dcc; }

}  // namespace zub
