#include "methods/stepping_scheme/linear.hpp"

namespace zub {

void LinearScheme::create(std::span<double> u, std::span<double> F) const {
    const auto spots = grid_.spots();
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = vanilla_payoff(spots[i], strike_, type_);
    op_.apply(u, F);
}

}  // namespace zub
