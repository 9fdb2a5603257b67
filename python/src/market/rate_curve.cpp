// RateCurve and VolSurface.
#include <vector>

#include "types.hpp"

namespace zub::py {
namespace {

using zub::RateCurve;
using zub::VolSurface;

RateCurve flat(const zub::InterestRate& rate) { return RateCurve::flat(rate); }

RateCurve continuous(double rate, const zub::DayCountConvention& dcc) { return RateCurve::continuous(rate, dcc); }

zub::Outcome<RateCurve> interpolated(zub::Date reference, const std::vector<zub::Tenor>& tenors,
                                     const std::vector<zub::InterestRate>& rates) {
    auto curve = RateCurve::interpolated(reference, tenors, rates);
    if (auto* err = std::get_if<zub::CurveError>(&curve)) return zub::Error::value("Curve Error: " + err->text());
    return std::get<RateCurve>(std::move(curve));
}

double zero_rate(const RateCurve& c, double t) { return c.zero_rate(t); }
double discount_factor(const RateCurve& c, double t) { return c.discount_factor(t); }

VolSurface surface_flat(double vol, const zub::DayCountConvention& dcc) { return VolSurface::flat(vol, dcc); }
zub::Outcome<VolSurface> surface_term_structure(zub::Date reference, const std::vector<zub::Tenor>& tenors,
                                                const std::vector<double>& vols, const zub::DayCountConvention& dcc) {
    return VolSurface::term_structure(reference, tenors, vols, dcc);
}

zub::Outcome<VolSurface> surface_ssvi(double spot, const std::vector<double>& expiries, const std::vector<double>& forwards,
                                      const std::vector<double>& thetas, const std::vector<double>& psis,
                                      const std::vector<double>& rhos, const zub::DayCountConvention& dcc) {
    zub::SsviParameters p;
    p.spot = spot, p.expiries = expiries, p.forwards = forwards, p.thetas = thetas, p.psis = psis, p.rhos = rhos;
    return VolSurface::ssvi(std::move(p), dcc);
}

double volatility(const VolSurface& s, double strike, double t) { return s.volatility(strike, t); }

}  // namespace

PyTypeObject* type_RateCurve() {
    return once([] {
        return make_class<RateCurve>({
            .name = "builtins.RateCurve",
            .methods = {static_method<"RateCurve.flat", flat, "rate">(),
                        static_method<"RateCurve.continuous", continuous, "rate", "day_count_convention">(),
                        static_method<"RateCurve.interpolated", interpolated, "reference_date", "tenors", "rates">(),
                        method<"RateCurve.zero_rate", zero_rate, "t">(),
                        method<"RateCurve.discount_factor", discount_factor, "t">()},
        });
    });
}

PyTypeObject* type_VolSurface() {
    return once([] {
        return make_class<VolSurface>({
            .name = "builtins.VolSurface",
            .methods = {static_method<"VolSurface.flat", surface_flat, "vol", "day_count">(),
                        static_method<"VolSurface.term_structure", surface_term_structure, "reference_date", "tenors",
                                      "vols", "day_count">(),
                        static_method<"VolSurface.ssvi", surface_ssvi, "spot", "expiries", "forwards", "thetas", "psis",
                                      "rhos", "day_count">(),
                        method<"VolSurface.volatility", volatility, "strike", "t">()},
        });
    });
}

}  // namespace zub::py
