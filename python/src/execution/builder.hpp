// Pieces shared by ValuationBuilder and ImpliedVolBuilder: construction,
// the market/config/at setters and the snapshot taken when a builder runs.
#pragma once

#include <memory>
#include <optional>

#include "types.hpp"

namespace zub::py {

// Everything one run of a builder reads, copied out of the Python objects so
// that the engines work without touching them (a signal handler that calls
// the builder's setters while an engine runs sees no borrowed object).
struct BuilderSnapshot {
    zub::VanillaOption option;
    std::shared_ptr<const zub::MarketRecord> market;
    std::shared_ptr<const zub::ConfigTable> config;  // nullptr: the default table
    zub::Instant valuation;
    std::optional<double> target;

    const zub::ConfigTable& table() const { return config ? *config : zub::ConfigTable::defaults(); }
};

// Fills `out` from the builder `self`.  Fails with ValueError `no_market`
// when no market frame is attached; reads the clock when no valuation time
// is stored.  Every borrow is released on return.
bool snapshot_builder(PyObject* self, const char* no_market, BuilderSnapshot& out);

// The constructor: a builder for the option, nothing else set.
BuilderState builder_new(Object<zub::VanillaOption> instrument);

// The setters; each returns the builder itself.
Ref builder_market(PyObject* self, Object<FrameState> market_frame);
Ref builder_config(PyObject* self, std::optional<Object<ConfigState>> config);

using ValuationTime = AwareTime<Rounding::Floor, kValuationTimeNaive, kInvalidTimestamp>;
Ref builder_at(PyObject* self, std::optional<ValuationTime> valuation_time);

}  // namespace zub::py
