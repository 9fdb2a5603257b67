// Cooperative cancellation of a long solve, polled by the work done.
#pragma once

#include <cstdint>

#include "core/error.hpp"

namespace zub {

// Polls a CancelCheck once per few thousand node-steps of work.
class CancelBudget {
public:
    explicit CancelBudget(CancelCheck check) noexcept : check_(check) {}
    // Counts `work` node-steps; true when a poll reported cancellation.  Not
    // noexcept: the poll may run code that unwinds this thread.
    bool spend(std::uint64_t work) {
        pending_ += work;
        if (pending_ < kPollEvery) return false;
        pending_ = 0;
        return check_.cancelled();
    }

private:
    static constexpr std::uint64_t kPollEvery = 4096;
    CancelCheck check_;
    std::uint64_t pending_ = 0;
};

}  // namespace zub
