// The broadcast inputs of an array call as the workers read them: strided
// columns in flat order and the expiries' conversion to instants.  Worker
// side: no Python object is touched, and the interpreter lock is not held.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/period.hpp"

namespace zub::batch {

// The inputs an array call reads per element.
enum Col : std::size_t { kStrike, kExpiry, kType, kStyle, kSpot, kVol, kTarget, kCols };

// An expiry the caller gave as a datetime object, converted up front (the
// conversion runs Python code), or why it could not be.
struct ConvertedExpiry {
    Instant instant;
    uint8_t problem = 0;  // 0 none, else an ExpiryProblem
};

enum ExpiryProblem : uint8_t { kExpiryOk, kExpiryNaive, kExpiryInvalid, kExpiryNaT };
const char* expiry_problem_text(uint8_t problem) noexcept;

// The broadcast inputs of one call.  Python references and buffer views are
// taken and released under the interpreter lock by the owner (Arguments);
// workers only read through `base` and the byte strides.
struct Layout {
    std::vector<std::ptrdiff_t> shape;                       // broadcast shape
    std::vector<std::array<std::ptrdiff_t, kCols>> strides;  // [dimension][column], 0 along broadcast axes
    std::array<const char*, kCols> base{};               // nullptr: column absent
    std::size_t size = 1;
    // Integer codes (type, style) are read in their array's own width.
    std::array<uint8_t, kCols> code_bytes{};
    // A column given as a Python float or int is read from here.
    std::array<std::array<char, 8>, kCols> scalars{};

    // datetime64 expiries: microseconds = ticks * micros_mul, or
    // floor(ticks / micros_div) for units finer than a microsecond.
    bool expiry_converted = false;  // base[kExpiry] points at ConvertedExpiry cells
    int64_t micros_mul = 1;
    int64_t micros_div = 1;
};

// Reads elements in flat (C) order from a starting index.
class Walker {
public:
    Walker(const Layout& layout, std::size_t begin) noexcept;
    template <class T>
    T get(std::size_t col) const noexcept {
        T v;
        __builtin_memcpy(&v, layout_.base[col] + off_[col], sizeof(T));
        return v;
    }
    const char* at(std::size_t col) const noexcept { return layout_.base[col] + off_[col]; }
    // One step along the last axis here; wrapping into the outer axes out
    // of line.
    void next() noexcept {
        for (std::size_t c = 0; c < kCols; ++c) off_[c] += inner_[c];
        if (++inner_idx_ < inner_extent_) return;
        wrap();
    }

private:
    void wrap() noexcept;

    static constexpr int kMaxDims = 64;
    const Layout& layout_;
    std::array<std::ptrdiff_t, kCols> off_{};
    std::array<std::ptrdiff_t, kMaxDims> idx_{};  // of the outer axes
    // The last axis: its strides, extent and our index along it.  A 0-d
    // layout has no axis to step along and never wraps.
    std::array<std::ptrdiff_t, kCols> inner_{};
    std::ptrdiff_t inner_extent_ = PTRDIFF_MAX;
    std::ptrdiff_t inner_idx_ = 0;
};

// The integer code of column `col` at the walker's element, zero-extended
// whatever the array's signedness: a code whose top bit is set is no valid
// code (0 or 1) either way.
inline uint64_t read_code(const Layout& layout, const Walker& w, std::size_t col) noexcept {
    switch (layout.code_bytes[col]) {
        case 1:
            return w.get<uint8_t>(col);
        case 2:
            return w.get<uint16_t>(col);
        case 4:
            return w.get<uint32_t>(col);
        default:
            return w.get<uint64_t>(col);
    }
}

// The last datetime64 expiry converted by one worker: a chain repeats its
// few expiries many times.
struct ExpiryCache {
    int64_t ticks = INT64_MIN;  // NaT: nothing cached
    Instant instant;
};

// The expiry of the current element, as the option constructor would have
// made it from a datetime in UTC; false with a problem code otherwise.
// read_expiry answers an expiry repeated from the last one inline.
bool convert_expiry(const Layout& layout, const Walker& w, ExpiryCache& cache, Instant& out, uint8_t& problem) noexcept;
inline bool read_expiry(const Layout& layout, const Walker& w, ExpiryCache& cache, Instant& out,
                        uint8_t& problem) noexcept {
    if (!layout.expiry_converted) {
        const auto ticks = w.get<int64_t>(kExpiry);
        if (ticks == cache.ticks && ticks != INT64_MIN) {
            out = cache.instant;
            return true;
        }
    }
    return convert_expiry(layout, w, cache, out, problem);
}

}  // namespace zub::batch
