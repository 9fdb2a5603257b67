// The worker side of the array entry points: what a job reads and writes,
// and the pricing of a range of its elements.  No Python object is touched
// here, and the interpreter lock is not held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "execution/valuation.hpp"
#include "expiry_table.hpp"
#include "job.hpp"
#include "layout.hpp"

namespace zub::batch {

enum Status : uint8_t {
    kOk,
    kExpired,
    kDayCountMismatch,
    kNotBracketed,
    kNotConverged,
    kAtExerciseValue,
    kNotImplemented,
    kEngineFailure,
    kInvalidInput,
    kStatusCount,
};

inline constexpr const char* kStatusNames[kStatusCount] = {
    "OK",           "EXPIRED",         "DAY_COUNT_MISMATCH", "NOT_BRACKETED", "NOT_CONVERGED",
    "AT_EXERCISE_VALUE", "NOT_IMPLEMENTED", "ENGINE_FAILURE", "INVALID_INPUT",
};

// The status of an element that failed with `e`.
uint8_t status_of(const Error& e) noexcept;

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// What a job reads and writes.  Owned by the job (through its body), so it
// stays valid for the workers even when the calling thread is ended early.
struct Task {
    std::shared_ptr<const MarketRecord> market;
    std::shared_ptr<const ConfigTable> config;
    std::shared_ptr<std::vector<ConvertedExpiry>> converted;
    Instant valuation;
    Layout layout;
    VolSearch search;
    // The fewest elements a worker takes at a time: at least a block that
    // the pricing prices as fast per option as a larger one.
    std::size_t min_chunk = block_granularity();
    // Outputs: valuation fills price..rho, implied volatility fills vol.
    double* out[6] = {};
    uint8_t* status = nullptr;
    std::unique_ptr<std::vector<std::string>> messages;  // only when asked for
    // Each expiry converted once per worker, whatever the order of the book.
    mutable ExpiryTables expiry_tables;
    // An allocation failed outside any element's guard (storing a message).
    std::atomic<bool> out_of_memory{false};

    const ConfigTable& table() const noexcept { return config ? *config : ConfigTable::defaults(); }

    void fail(std::size_t i, uint8_t s, const char* message, int outputs) const {
        for (int k = 0; k < outputs; ++k) out[k][i] = kNaN;
        status[i] = s;
        if (messages) (*messages)[i] = message;
    }
};

// Workers of an implied-volatility call take at least this many elements:
// searches solved together share lanes of finite-difference trials.
inline constexpr std::size_t kVolChunk = 32;

// Prices the elements [begin, end) of the task into its outputs.
void value_range(const Task& t, Job& job, std::size_t begin, std::size_t end);
void implied_vol_range(const Task& t, Job& job, std::size_t begin, std::size_t end);

}  // namespace zub::batch
