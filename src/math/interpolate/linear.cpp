#include "math/interpolate/linear.hpp"

namespace zub {

const char* to_string(InterpolationError e) noexcept {
    switch (e) {
        case InterpolationError::LengthMismatch: return "LengthMismatch";
        case InterpolationError::InsufficientPoints: return "InsufficientPoints";
        case InterpolationError::NotMonotonic: return "NotMonotonic";
    }
    return "InterpolationError";
}

std::variant<LinearInterpolator, InterpolationError> LinearInterpolator::make(SharedArray x, SharedArray y) {
    if (x->size() != y->size()) return InterpolationError::LengthMismatch;
    if (x->size() < 2) return InterpolationError::InsufficientPoints;
    for (std::size_t k = 0; k + 1 < x->size(); ++k) {
        if ((*x)[k] >= (*x)[k + 1]) return InterpolationError::NotMonotonic;
    }
    return LinearInterpolator(std::move(x), std::move(y));
}

}  // namespace zub
