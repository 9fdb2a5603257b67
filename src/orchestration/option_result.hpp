// The record both engines fill.
#pragma once

#include <optional>

namespace zub {

struct Greeks {
    double delta = 0.0;
    double gamma = 0.0;
    double theta = 0.0;              // per year of calendar time
    std::optional<double> vega;      // analytic engine only
    std::optional<double> rho;       // analytic engine only
};

struct OptionResult {
    double price = 0.0;
    Greeks greeks;
};

}  // namespace zub
