// Everything the pricing code reads about one underlying's market.
#pragma once

#include <optional>
#include <vector>

#include "market/dividend.hpp"
#include "market/rate_curve.hpp"
#include "market/vol_surface.hpp"

namespace zub {

struct MarketRecord {
    double spot = 0.0;
    RateCurve rate_curve;
    VolSurface vol_surface;
    std::vector<Dividend> dividends;
    std::optional<RateCurve> borrow_curve;
};

}  // namespace zub
