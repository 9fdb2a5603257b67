// The expiries of one array call, each converted once: its instant, the
// time to it and what every option of that expiry shares on the call's
// market.  Worker side: no Python object is touched.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "layout.hpp"
#include "execution/valuation.hpp"

namespace zub::batch {

class ExpiryTable {
public:
    struct Entry {
        int64_t major = 0;
        uint32_t minor = 0;
        uint8_t problem = kExpiryOk;  // an ExpiryProblem
        Instant instant;
        ExpiryTerms terms;
    };

    // The entry of the walker's element's expiry, converted on its first
    // sight; nullptr with `problem` set when it is no instant.  May throw
    // std::bad_alloc.
    const Entry* find(const Layout& layout, const Walker& w, const MarketRecord& market, const Instant& valuation,
                      uint8_t& problem) {
        int64_t major;
        uint32_t minor = 0;
        if (layout.expiry_converted) {
            const auto* cell = reinterpret_cast<const ConvertedExpiry*>(w.at(kExpiry));
            if (cell->problem != kExpiryOk) {
                problem = cell->problem;
                return nullptr;
            }
            major = int64_t{cell->instant.date.days_since_epoch()} * 86400 + cell->instant.secs;
            minor = cell->instant.nanos;
        } else {
            major = w.get<int64_t>(kExpiry);
            if (major == INT64_MIN) {
                problem = kExpiryNaT;
                return nullptr;
            }
        }
        const Entry* e = last_ != nullptr && last_->major == major && last_->minor == minor ? last_ : lookup(major, minor);
        if (e == nullptr) e = &insert(layout, w, major, minor, market, valuation);
        last_ = e;
        problem = e->problem;
        return e->problem == kExpiryOk ? e : nullptr;
    }

private:
    static std::size_t hash(int64_t major, uint32_t minor) noexcept {
        uint64_t z = static_cast<uint64_t>(major) + 0x9e3779b97f4a7c15ull * (uint64_t{minor} + 1);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }

    const Entry* lookup(int64_t major, uint32_t minor) const noexcept {
        if (slots_.empty()) return nullptr;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash(major, minor) & mask;; at = (at + 1) & mask) {
            const Slot& slot = slots_[at];
            if (slot.entry == nullptr) return nullptr;
            if (slot.major == major && slot.minor == minor) return slot.entry;
        }
    }

    const Entry& insert(const Layout& layout, const Walker& w, int64_t major, uint32_t minor,
                        const MarketRecord& market, const Instant& valuation) {
        Entry& e = entries_.emplace_back();
        e.major = major;
        e.minor = minor;
        ExpiryCache unused;
        if (convert_expiry(layout, w, unused, e.instant, e.problem)) {
            e.terms = expiry_terms(market, valuation, e.instant);
        }
        // At most half the slots in use.
        if (2 * entries_.size() > slots_.size()) {
            slots_.assign(std::bit_ceil(std::max<std::size_t>(64, 4 * entries_.size())), Slot{});
            for (const Entry& each : entries_) place(each);
        } else {
            place(e);
        }
        return e;
    }

    void place(const Entry& e) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = hash(e.major, e.minor) & mask;
        while (slots_[at].entry != nullptr) at = (at + 1) & mask;
        slots_[at] = {e.major, e.minor, &e};
    }

    // Open addressing with the keys beside the entries' addresses.
    struct Slot {
        int64_t major = 0;
        uint32_t minor = 0;
        const Entry* entry = nullptr;
    };
    std::vector<Slot> slots_;    // a power of two long
    std::deque<Entry> entries_;    // stable: entries are referred to while others are added
    const Entry* last_ = nullptr;
};

// The tables of one call, lent to its ranges on a shelf of lock-free
// slots: a worker takes one for a range and puts it back after, so that
// each worker converts an expiry about once per call whatever the order of
// the book, and a forked child never waits on a lock.
class ExpiryTables {
public:
    class Lease {
    public:
        explicit Lease(ExpiryTables& owner) : owner_(owner) {
            for (std::atomic<ExpiryTable*>& slot : owner_.shelf_) {
                if (slot.load(std::memory_order_relaxed) == nullptr) continue;
                table_.reset(slot.exchange(nullptr, std::memory_order_acquire));
                if (table_) return;
            }
            table_ = std::make_unique<ExpiryTable>();
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            for (std::atomic<ExpiryTable*>& slot : owner_.shelf_) {
                ExpiryTable* empty = nullptr;
                if (slot.compare_exchange_strong(empty, table_.get(), std::memory_order_release)) {
                    static_cast<void>(table_.release());
                    return;
                }
            }
        }
        ExpiryTable& operator*() const noexcept { return *table_; }
        ExpiryTable* operator->() const noexcept { return table_.get(); }

    private:
        ExpiryTables& owner_;
        std::unique_ptr<ExpiryTable> table_;
    };

    ExpiryTables() = default;
    ExpiryTables(const ExpiryTables&) = delete;
    ExpiryTables& operator=(const ExpiryTables&) = delete;
    ~ExpiryTables() {
        for (std::atomic<ExpiryTable*>& slot : shelf_) delete slot.load(std::memory_order_relaxed);
    }

private:
    std::array<std::atomic<ExpiryTable*>, 16> shelf_{};
};

}  // namespace zub::batch
