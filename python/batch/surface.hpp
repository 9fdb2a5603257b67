// The volatility-surface entry points of the module.
#pragma once

#include "boundary.hpp"
#include "execution/surface_fit.hpp"

namespace zub::batch {

PyObject* fit_surface_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* european_equivalents_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);
PyObject* check_surface_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw);

// Adds QUOTE_STATUS_NAMES, the quote statuses' names by code, to the module;
// false with an exception set.
bool add_surface_constants(PyObject* module);

inline constexpr const char* kFitSurfaceDoc =
    "fit_surface(market_frame, expiry, strike, option_type, exercise_style, price=None, vol=None, bid=None, "
    "ask=None, valuation_time=None, config=None)\n--\n\n"
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
    "european_equivalents(market_frame, expiry, strike, option_type, exercise_style, price=None, vol=None, "
    "bid=None, ask=None, valuation_time=None, config=None)\n--\n\n"
    "The European-equivalent vol and price of every quote, and the forward and carry each expiry's quotes\n"
    "imply: fit_surface's first step, returning its dict without the fit's entries.";

inline constexpr const char* kCheckSurfaceDoc =
    "check_surface(surface, k=None, t=None, tolerance=1e-12)\n--\n\n"
    "Static arbitrage of a VolSurface on a grid of log-forward moneyness k and horizons t (years, both\n"
    "increasing; by default k over [-2, 2] and t over the surface's expiries and beyond): each violation's\n"
    "'kind' ('butterfly': g(k) < 0; 'calendar': total variance falling in t; 'wing': a wing slope of 2 or\n"
    "more), its 'k', 't' and 'amount' (g, the fall, the slope); 'ok' when there is none.";

}  // namespace zub::batch
