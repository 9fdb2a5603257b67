// Valuation and implied volatility of ranges of an array call's elements.
//
// Elements are priced in blocks by value_options and implied_volatilities,
// which give each option exactly what zub's object API gets from
// value_option and implied_volatility, so its numbers are those the object
// API gives for that option, bit for bit.  A failing element does not fail
// the call: its outputs are NaN and its status says what the object API
// would have raised.
#include "kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <optional>
#include <utility>

#include "orchestration/fdm.hpp"

namespace zub::batch {

uint8_t status_of(const Error& e) noexcept {
    switch (e.reason) {
        case Reason::Expired:
            return kExpired;
        case Reason::DayCountMismatch:
            return kDayCountMismatch;
        case Reason::NotBracketed:
            return kNotBracketed;
        case Reason::NotConverged:
            return kNotConverged;
        case Reason::NotImplemented:
            return kNotImplemented;
        case Reason::AtExerciseValue:
            return kAtExerciseValue;
        case Reason::InvalidInput:
            return kInvalidInput;
        case Reason::Unspecified:
            break;
    }
    return kEngineFailure;
}

namespace {

// The option type and exercise style of the walker's element; false after
// marking the element INVALID_INPUT.
bool read_codes(const Task& t, const Walker& w, std::size_t i, int outputs, OptionType& type, ExerciseStyle& style) {
    const uint64_t type_code = read_code(t.layout, w, kType);
    const uint64_t style_code = read_code(t.layout, w, kStyle);
    if (type_code != 0 && type_code != 1) {
        t.fail(i, kInvalidInput, "option type code must be 0 (Call) or 1 (Put)", outputs);
        return false;
    }
    if (style_code != 0 && style_code != 1) {
        t.fail(i, kInvalidInput, "exercise style code must be 0 (American) or 1 (European)", outputs);
        return false;
    }
    type = static_cast<OptionType>(type_code);
    style = static_cast<ExerciseStyle>(style_code);
    return true;
}

// The option and the per-element market of the walker's element; false
// after marking the element INVALID_INPUT.
bool read_element(const Task& t, const Walker& w, std::size_t i, int outputs, ExpiryCache& cache,
                  VanillaOption& option, MarketOverrides& market) {
    uint8_t problem = 0;
    if (!read_expiry(t.layout, w, cache, option.expiry, problem)) {
        t.fail(i, kInvalidInput, expiry_problem_text(problem), outputs);
        return false;
    }
    if (!read_codes(t, w, i, outputs, option.type, option.style)) return false;
    option.strike = w.get<double>(kStrike);
    if (t.layout.base[kSpot] != nullptr) market.spot = w.get<double>(kSpot);
    if (t.layout.base[kVol] != nullptr) market.vol = w.get<double>(kVol);
    return true;
}

// OK promises finite numbers: the message for the first field of a result
// that is not finite, or null.
const char* non_finite_field(const OptionResult& r) noexcept {
    const auto bad = [](double x) { return !std::isfinite(x); };
    if (bad(r.price)) return "the method gave a price that is not finite";
    if (bad(r.greeks.delta) || bad(r.greeks.gamma) || bad(r.greeks.theta) ||
        (r.greeks.vega && bad(*r.greeks.vega)) || (r.greeks.rho && bad(*r.greeks.rho))) {
        return "the method gave a Greek that is not finite";
    }
    return nullptr;
}

// Runs one element's pricing call; an exception escaping the core becomes
// the element's ENGINE_FAILURE.  False when the job was cancelled.
template <class Price>
bool guarded_element(const Task& t, std::size_t i, int outputs, Price&& price) {
    try {
        return price();
    } catch (const std::bad_alloc&) {
        t.fail(i, kEngineFailure, "out of memory", outputs);
    } catch (const std::exception& e) {
        t.fail(i, kEngineFailure, e.what(), outputs);
    }
    return true;
}

// Finite-difference buffers of one range of elements, kept from one range
// to the next on a shelf of lock-free slots: there are about as many as
// ranges ever ran at once, and a forked child never waits on a lock that
// its parent's threads held.  Buffers that a range grew beyond
// kKeptWorkspaceBytes are freed instead.
class WorkspaceLease {
public:
    FdmLaneWorkspace ws;

    WorkspaceLease() noexcept {
        for (std::atomic<FdmLaneWorkspace*>& slot : shelf) {
            // Empty slots are only read: ranges that never solve by finite
            // differences leave the shelf empty, and a write to every slot
            // would bounce its lines between cores on each range.
            if (slot.load(std::memory_order_relaxed) == nullptr) continue;
            std::unique_ptr<FdmLaneWorkspace> kept(slot.exchange(nullptr));
            if (!kept) continue;
            ws.swap(*kept);
            return;
        }
    }
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;
    ~WorkspaceLease() {
        const std::size_t bytes = ws.bytes();
        if (bytes == 0 || bytes > kKeptWorkspaceBytes) return;
        std::unique_ptr<FdmLaneWorkspace> kept(new (std::nothrow) FdmLaneWorkspace);
        if (!kept) return;
        kept->swap(ws);
        for (std::atomic<FdmLaneWorkspace*>& slot : shelf) {
            FdmLaneWorkspace* empty = nullptr;
            if (slot.compare_exchange_strong(empty, kept.get())) {
                static_cast<void>(kept.release());  // the shelf owns it now
                return;
            }
        }
    }

private:
    static constexpr std::size_t kKeptWorkspaceBytes = std::size_t{64} << 20;
    static inline std::array<std::atomic<FdmLaneWorkspace*>, 64> shelf{};
};

// Elements are valued in blocks, so that neighbours share what depends on
// their expiry alone and their finite-difference solves can step together.
constexpr std::size_t kValueBlock = 48;

// One element's price and Greeks into the outputs, or its failure when one
// of them is not finite (OK promises finite numbers).
void store_result(const Task& t, std::size_t at, const OptionResult& r) {
    if (const char* field = non_finite_field(r)) {
        t.fail(at, kEngineFailure, field, 6);
        return;
    }
    t.out[0][at] = r.price;
    t.out[1][at] = r.greeks.delta;
    t.out[2][at] = r.greeks.gamma;
    t.out[3][at] = r.greeks.theta;
    t.out[4][at] = r.greeks.vega.value_or(kNaN);
    t.out[5][at] = r.greeks.rho.value_or(kNaN);
    t.status[at] = kOk;
}

// The elements of a block that the closed form alone prices, side by side
// for black_scholes_block, and where each goes.
struct ClosedFormElements {
    std::array<OptionType, kValueBlock> type;
    std::array<double, kValueBlock> strike, spot, vol;
    std::array<const Horizon*, kValueBlock> horizon;
    std::array<std::size_t, kValueBlock> where;
    std::array<double, kValueBlock> price, delta, gamma, theta, vega, rho;
    std::size_t count = 0;

    // Prices them into the task's outputs.
    void price_into(const Task& t) {
        black_scholes_block({type.data(), strike.data(), spot.data(), vol.data(), horizon.data()}, count,
                            {price.data(), delta.data(), gamma.data(), theta.data(), vega.data(), rho.data()});
        double* const to[6] = {t.out[0], t.out[1], t.out[2], t.out[3], t.out[4], t.out[5]};
        uint8_t* const status = t.status;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = where[k];
            if (std::isfinite(price[k] + delta[k] + gamma[k] + theta[k] + vega[k] + rho[k])) [[likely]] {
                to[0][at] = price[k], to[1][at] = delta[k], to[2][at] = gamma[k];
                to[3][at] = theta[k], to[4][at] = vega[k], to[5][at] = rho[k];
                status[at] = kOk;
                continue;
            }
            OptionResult r;
            r.price = price[k], r.greeks.delta = delta[k], r.greeks.gamma = gamma[k], r.greeks.theta = theta[k];
            r.greeks.vega = vega[k], r.greeks.rho = rho[k];
            store_result(t, at, r);
        }
        count = 0;
    }
};

bool finite_positive(double x) noexcept { return x > 0.0 && x < std::numeric_limits<double>::infinity(); }

// Which slots (ConfigTable::slot_index) the closed form may price.  Where
// the day counts disagree (or a curve has none) every element fails, on the
// general path.
std::array<ClosedFormRule, 4> closed_form_rules(const MarketRecord& market, const ConfigTable& config) {
    bool day_counts_agree = false;
    try {
        day_counts_agree = market.rate_curve.day_count() == market.vol_surface.day_count();
    } catch (const std::exception&) {
    }
    std::array<ClosedFormRule, 4> rules{};
    for (const ExerciseStyle style : {ExerciseStyle::American, ExerciseStyle::European}) {
        for (const OptionType type : {OptionType::Call, OptionType::Put}) {
            rules[ConfigTable::slot_index(style, type)] =
                day_counts_agree ? closed_form_rule(config, style, type) : ClosedFormRule::Never;
        }
    }
    return rules;
}

// The other elements of a block, priced by value_options, and where each
// goes.
struct GeneralElements {
    std::array<VanillaOption, kValueBlock> options;
    std::array<MarketOverrides, kValueBlock> markets;
    std::array<std::size_t, kValueBlock> where{};
    std::array<std::optional<Outcome<OptionResult>>, kValueBlock> results;
    std::size_t count = 0;

    // Prices them into the task's outputs; false when the job was cancelled.
    bool price_into(const Task& t, const CancelCheck& cancel, FdmLaneWorkspace& ws) {
        const std::size_t n = std::exchange(count, 0);
        if (n == 0) return true;
        const MarketRecord& market = *t.market;
        const ConfigTable& config = t.table();
        for (std::size_t k = 0; k < n; ++k) results[k].reset();
        try {
            value_options({options.data(), n}, {markets.data(), n}, market, config, t.valuation, cancel,
                          {results.data(), n}, &ws);
        } catch (const std::exception&) {
            // Valued again one by one below, each element with its own failure.
        }
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t at = where[k];
            if (!results[k]) {
                guarded_element(t, at, 6, [&] {
                    results[k] = value_option(options[k], market, config, t.valuation, cancel, markets[k]);
                    return true;
                });
                if (!results[k]) continue;  // its failure is stored
            }
            const Outcome<OptionResult>& r = *results[k];
            if (!r) {
                if (r.error().kind == ErrorKind::Cancelled) return false;
                t.fail(at, status_of(r.error()), r.error().message.c_str(), 6);
                continue;
            }
            store_result(t, at, *r);
        }
        return true;
    }
};

}  // namespace

void value_range(const Task& t, Job& job, std::size_t begin, std::size_t end) {
    Walker w(t.layout, begin);
    const CancelCheck cancel = job.cancel_check();
    const MarketRecord& market = *t.market;
    const std::array<ClosedFormRule, 4> rules = closed_form_rules(market, t.table());
    const bool spot_given = t.layout.base[kSpot] != nullptr, vol_given = t.layout.base[kVol] != nullptr;
    ExpiryTables::Lease expiries(t.expiry_tables);
    ClosedFormElements closed;  // about 4.6 KB, on the stack
    GeneralElements general;
    WorkspaceLease lease;
    for (std::size_t i = begin; i < end && !job.cancelled();) {
        std::size_t count = 0, fast = 0;
        for (; i < end && count + fast < kValueBlock; ++i, w.next()) {
            uint8_t problem = 0;
            const ExpiryTable::Entry* expiry = expiries->find(t.layout, w, market, t.valuation, problem);
            if (expiry == nullptr) {
                t.fail(i, kInvalidInput, expiry_problem_text(problem), 6);
                continue;
            }
            OptionType type;
            ExerciseStyle style;
            if (!read_codes(t, w, i, 6, type, style)) continue;
            const double strike = w.get<double>(kStrike);
            const double spot = spot_given ? w.get<double>(kSpot) : market.spot;
            const ExpiryTerms& terms = expiry->terms;
            if (terms.T > 0.0 && std::isfinite(terms.rate) && std::isfinite(terms.carry) &&
                priced_by_closed_form(rules[ConfigTable::slot_index(style, type)], terms.rate, terms.carry)) {
                const double vol = vol_given ? w.get<double>(kVol) : VolSurface::volatility(terms.vol, strike);
                if (finite_positive(strike) && finite_positive(spot) && finite_positive(vol)) {
                    closed.type[fast] = type, closed.strike[fast] = strike;
                    closed.spot[fast] = spot, closed.vol[fast] = vol;
                    closed.horizon[fast] = &terms.closed, closed.where[fast] = i;
                    ++fast;
                    continue;
                }
            }
            general.options[count] = {.strike = strike, .expiry = expiry->instant, .type = type, .style = style};
            general.markets[count] = {.spot = {}, .vol = {}, .refuse_invalid_inputs = true};
            if (spot_given) general.markets[count].spot = spot;
            if (vol_given) general.markets[count].vol = w.get<double>(kVol);
            general.where[count++] = i;
        }
        closed.count = fast;
        closed.price_into(t);
        general.count = count;
        if (!general.price_into(t, cancel, lease.ws)) return;
    }
}

namespace {

// One element's implied volatility into the outputs; false when the job was
// cancelled.
bool store_vol(const Task& t, std::size_t i, const Outcome<double>& v) {
    if (!v) {
        if (v.error().kind == ErrorKind::Cancelled) return false;
        t.fail(i, status_of(v.error()), v.error().message.c_str(), 1);
        return true;
    }
    if (!std::isfinite(*v)) {
        t.fail(i, kEngineFailure, "the search gave a volatility that is not finite", 1);
        return true;
    }
    t.out[0][i] = *v;
    t.status[i] = kOk;
    return true;
}

// Elements are solved in blocks, so that their searches can share lanes of
// finite-difference trials (implied_volatilities); the longer the block, the
// less often lanes idle while its last searches finish.  Workers take at
// least kVolChunk elements for the same reason.
constexpr std::size_t kVolBlock = 64;

}  // namespace

void implied_vol_range(const Task& t, Job& job, std::size_t begin, std::size_t end) {
    Walker w(t.layout, begin);
    const CancelCheck cancel = job.cancel_check();
    ExpiryCache cache;
    std::array<VanillaOption, kVolBlock> options;
    std::array<double, kVolBlock> targets{};
    std::array<std::optional<double>, kVolBlock> spots;
    std::array<std::size_t, kVolBlock> where{};
    WorkspaceLease lease;
    for (std::size_t i = begin; i < end && !job.cancelled();) {
        std::size_t count = 0;
        for (; i < end && count < kVolBlock; ++i, w.next()) {
            MarketOverrides market;
            if (!read_element(t, w, i, 1, cache, options[count], market)) continue;
            targets[count] = w.get<double>(kTarget);
            spots[count] = market.spot;
            where[count++] = i;
        }
        if (count == 0) continue;
        std::array<std::optional<Outcome<double>>, kVolBlock> results;
        try {
            implied_volatilities({options.data(), count}, {targets.data(), count}, {spots.data(), count},
                                 *t.market, t.table(), t.valuation, cancel, t.search, {results.data(), count},
                                 &lease.ws);
        } catch (const std::exception&) {
            // Solved again one by one below, each element with its own failure.
        }
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = where[k];
            const bool go_on = results[k] ? store_vol(t, at, *results[k]) : guarded_element(t, at, 1, [&] {
                return store_vol(t, at, implied_volatility(options[k], *t.market, t.table(), t.valuation,
                                                           targets[k], cancel, t.search, spots[k]));
            });
            if (!go_on) return;
        }
    }
}

}  // namespace zub::batch
