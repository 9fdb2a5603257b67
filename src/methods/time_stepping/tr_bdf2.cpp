#include "methods/time_stepping/tr_bdf2.hpp"

#include "core/vector_clones.hpp"

namespace zub {

ZUB_VECTOR_CLONES void stage1_sum(const double* u, const double* f, double w, double* r, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = u[i] + w * f[i];
}

ZUB_VECTOR_CLONES void stage2_sum(const double* u, const double* f, const double* f1, double w, double* r,
                                  std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) r[i] = u[i] + w * f[i] + w * f1[i];
}

}  // namespace zub
