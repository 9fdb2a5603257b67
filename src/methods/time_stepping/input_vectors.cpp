#include "methods/time_stepping/input_vectors.hpp"

#include <new>

namespace zub {

StepWorkspace::StepWorkspace(std::size_t n)
    : n_(n), block_(n > std::vector<double>().max_size() / 8 ? throw std::bad_alloc() : 8 * n, 0.0) {
    double* p = block_.data();
    for (double** slot : {&u_, &F_, &rhs_, &sweep_, &U1_, &F1_, &U2_, &F2_}) {
        *slot = p;
        p += n;
    }
}

}  // namespace zub
