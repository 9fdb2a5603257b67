#include "layout.hpp"

#include "timestamps.hpp"

namespace zub::batch {
namespace {

int64_t floor_div(int64_t a, int64_t b) noexcept {
    const int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

const char* expiry_problem_text(uint8_t problem) noexcept {
    switch (problem) {
        case kExpiryNaive:
            return py::kExpiryNaive;
        case kExpiryInvalid:
            return py::kInvalidTimestamp;
        case kExpiryNaT:
            return "Expiry is NaT (not a time)";
        default:
            return "";
    }
}

Walker::Walker(const Layout& layout, std::size_t begin) noexcept : layout_(layout) {
    std::size_t rest = begin;
    for (std::size_t d = layout.shape.size(); d-- > 0;) {
        const auto extent = static_cast<std::size_t>(layout.shape[d]);
        idx_[d] = static_cast<std::ptrdiff_t>(rest % extent);
        rest /= extent;
        for (std::size_t c = 0; c < kCols; ++c) off_[c] += idx_[d] * layout.strides[d][c];
    }
    if (layout.shape.empty()) return;
    const std::size_t last = layout.shape.size() - 1;
    inner_ = layout.strides[last];
    inner_extent_ = layout.shape[last];
    inner_idx_ = idx_[last];
}

void Walker::wrap() noexcept {
    for (std::size_t c = 0; c < kCols; ++c) off_[c] -= inner_[c] * inner_extent_;
    inner_idx_ = 0;
    for (std::size_t d = layout_.shape.size() - 1; d-- > 0;) {
        const auto& s = layout_.strides[d];
        for (std::size_t c = 0; c < kCols; ++c) off_[c] += s[c];
        if (++idx_[d] < layout_.shape[d]) return;
        for (std::size_t c = 0; c < kCols; ++c) off_[c] -= s[c] * layout_.shape[d];
        idx_[d] = 0;
    }
}

bool convert_expiry(const Layout& layout, const Walker& w, ExpiryCache& cache, Instant& out, uint8_t& problem) noexcept {
    if (layout.expiry_converted) {
        const auto* cell = reinterpret_cast<const ConvertedExpiry*>(w.at(kExpiry));
        problem = cell->problem;
        out = cell->instant;
        return problem == kExpiryOk;
    }
    const auto ticks = w.get<int64_t>(kExpiry);
    if (ticks == INT64_MIN) {
        problem = kExpiryNaT;
        return false;
    }
    if (ticks == cache.ticks) {
        out = cache.instant;
        return true;
    }
    int64_t micros;
    if (layout.micros_div != 1) {
        micros = floor_div(ticks, layout.micros_div);
    } else if (__builtin_mul_overflow(ticks, layout.micros_mul, &micros)) {
        problem = kExpiryInvalid;
        return false;
    }
    // As the option constructor converts a datetime in UTC: the POSIX time
    // as the float micros / 10^6, split by truncation.
    int64_t secs;
    uint32_t nanos;
    py::split_timestamp(py::timestamp_of_micros(micros), py::Rounding::Truncate, secs, nanos);
    const auto instant = Instant::from_unix(secs, nanos);
    if (!instant) {
        problem = kExpiryInvalid;
        return false;
    }
    out = *instant;
    cache.ticks = ticks;
    cache.instant = out;
    return true;
}

}  // namespace zub::batch
