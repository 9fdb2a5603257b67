// Rate curves: flat, continuous, or linearly interpolated zero rates.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "core/period.hpp"
#include "core/rate.hpp"
#include "math/interpolate/linear.hpp"

namespace zub {

// Construction failure of an interpolated curve.  Text: "LengthMismatch",
// or "Interpolation(<InterpolationError name>)".
struct CurveError {
    bool length_mismatch = false;
    InterpolationError inner = InterpolationError::LengthMismatch;
    std::string text() const;
};

class RateCurve {
public:
    static RateCurve flat(const InterestRate& rate);
    static RateCurve continuous(double rate, const DayCountConvention& dcc);
    // Node k lies at the year fraction, under rates[k].dcc, from the reference
    // date to the reference date advanced by tenors[k] (both at midnight).
    // Throws Panic when a tenor leaves the supported calendar.
    static std::variant<RateCurve, CurveError> interpolated(Date reference_date, std::span<const Tenor> tenors,
                                                            std::span<const InterestRate> rates);

    double zero_rate(double t) const noexcept;
    double discount_factor(double t) const noexcept;
    // Flat and continuous: the stored rate's convention.  Interpolated: the
    // first node rate's convention.
    DayCountConvention day_count() const;

    bool is_interpolated() const noexcept { return interp_.has_value(); }

    // Flat and continuous: the stored rate (a continuous curve's is
    // continuously compounded).  Interpolated: the first node rate.
    const InterestRate& rate() const noexcept { return rate_; }

    // Interpolated form only (empty or absent otherwise): the node tenors and
    // rates as given, the reference date, and the interpolator whose shared
    // abscissae are the node times and ordinates the node zero rates.
    const std::vector<Tenor>& tenors() const noexcept { return tenors_; }
    const std::vector<InterestRate>& rates() const noexcept { return rates_; }
    Date reference_date() const noexcept { return reference_date_; }
    const std::optional<LinearInterpolator>& interpolator() const noexcept { return interp_; }

private:
    RateCurve() = default;
    InterestRate rate_;                       // flat/continuous: the rate; interpolated: rates[0]
    std::optional<LinearInterpolator> interp_;
    std::vector<Tenor> tenors_;
    std::vector<InterestRate> rates_;
    Date reference_date_;
};

}  // namespace zub
