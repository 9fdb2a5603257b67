// The market as one valuation sees it at the option's expiry.
#pragma once

namespace zub {

// Spot, volatility, zero rate and carry (borrow or dividend yield) to
// expiry; fill it with designated initialisers, the four being easy to swap.
struct MarketPoint {
    double spot = 0.0;
    double vol = 0.0;
    double rate = 0.0;
    double carry = 0.0;
};

}  // namespace zub
