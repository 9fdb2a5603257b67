// The volatility-surface entry points of the module.
#pragma once

#include <optional>

#include "execution/surface_fit.hpp"
#include "params.hpp"

namespace zub::batch {

// fit_surface and european_equivalents: the quotes' columns, broadcast
// together, then bid and ask, each a scalar or of the quotes' shape.
py::Ref fit_surface_entry(Frame market_frame, Given expiry, Given strike, Given option_type, Given exercise_style,
                          std::optional<Given> price, std::optional<Given> vol, std::optional<Given> bid,
                          std::optional<Given> ask, std::optional<ValuationTime> valuation_time,
                          std::optional<ConfigTableOf> config);
py::Ref european_equivalents_entry(Frame market_frame, Given expiry, Given strike, Given option_type,
                                   Given exercise_style, std::optional<Given> price, std::optional<Given> vol,
                                   std::optional<Given> bid, std::optional<Given> ask,
                                   std::optional<ValuationTime> valuation_time, std::optional<ConfigTableOf> config);
py::Ref check_surface_entry(SurfaceOf surface, std::optional<Given> k, std::optional<Given> t,
                            std::optional<CheckTolerance> tolerance);

// Adds QUOTE_STATUS_NAMES, the quote statuses' names by code, to the module;
// false with an exception set.
bool add_surface_constants(PyObject* module);

// The functions' documentation, after the text signatures their
// declarations give.
inline constexpr const char* kFitSurfaceDoc =
    "An SSVI volatility surface (one slice per expiry) free of static arbitrage, fitted to the quotes the broadcast arrays describe.\n\n"
    "Each quote gives a price (or, with bid and ask, their mid) or a vol; with bid and ask each quote weighs\n"
    "its vega over its spread.  Per expiry the forward comes from put-call parity on European call/put pairs,\n"
    "or for American quotes from the carry at which the calls' and the puts' implied vols agree; American\n"
    "quotes are de-Americanised (their implied vol under the configured American method at that carry).\n"
    "The dict returned holds 'surface' (a VolSurface), per quote 'status' (codes of QUOTE_STATUS_NAMES),\n"
    "'vol' (European-equivalent), 'european_price' and 'fitted_vol', per expiry 'expiries' (expiry, t,\n"
    "forward, carry, carry_implied, used), and the fit's 'rms' (in vol, over the quotes used), 'iterations',\n"
    "and per fitted expiry 'theta', 'psi' and 'rho' (the SSVI slices of the surface).";

inline constexpr const char* kEuropeanEquivalentsDoc =
    "The European-equivalent vol and price of every quote, and the forward and carry each expiry's quotes\n"
    "imply: fit_surface's first step, returning its dict without the fit's entries.";

inline constexpr const char* kCheckSurfaceDoc =
    "Static arbitrage of a VolSurface on a grid of log-forward moneyness k and horizons t (years, both\n"
    "increasing; by default k over [-2, 2] and t over the surface's expiries and beyond): each violation's\n"
    "'kind' ('butterfly': g(k) < 0; 'calendar': total variance falling in t; 'wing': a wing slope of 2 or\n"
    "more), its 'k', 't' and 'amount' (g, the fall, the slope); 'ok' when there is none.";

}  // namespace zub::batch
