// Type objects of the module's classes and the values their instances hold.
// Each getter creates its type on first use (once per process) and returns
// a borrowed reference, or nullptr with an exception set.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "boundary.hpp"
#include "core/period.hpp"
#include "core/rate.hpp"
#include "execution/valuation.hpp"
#include "instruments/vanilla_option.hpp"
#include "market/market_record.hpp"

namespace zub::py {

// Calendar and rates
PyTypeObject* type_DayCountConvention();
PyTypeObject* type_ActAct();
PyTypeObject* type_Thirty360();
PyTypeObject* type_Tenor();
PyTypeObject* type_PeriodCalculator();
PyTypeObject* type_Frequency();
PyTypeObject* type_Compounding();
PyTypeObject* type_InterestRate();

// Instruments
PyTypeObject* type_OptionType();
PyTypeObject* type_ExerciseStyle();
PyTypeObject* type_VanillaOption();

// Market data
PyTypeObject* type_RateCurve();
PyTypeObject* type_VolSurface();
PyTypeObject* type_DividendSchedule();
PyTypeObject* type_OptionMarketFrame();

// Execution
PyTypeObject* type_TransformConfig();
PyTypeObject* type_FdmConfig();
PyTypeObject* type_InstrumentPolicy();
PyTypeObject* type_Config();
PyTypeObject* type_ValuationBuilder();
PyTypeObject* type_OptionResult();
PyTypeObject* type_Greeks();
PyTypeObject* type_ImpliedVolBuilder();

// Values held by mutable or shared objects.

// OptionMarketFrame: one shared market record, copied before a setter
// writes when anybody else holds it.
struct FrameState {
    BorrowFlag borrow;
    std::shared_ptr<const zub::MarketRecord> record;
};

// Config: an immutable method table replaced whole by add_policy.
struct ConfigState {
    BorrowFlag borrow;
    std::shared_ptr<const zub::ConfigTable> table;
};

struct PolicyState {
    BorrowFlag borrow;
    zub::PricingMethod method;
    std::vector<zub::ExerciseStyle> exercise_styles;
    std::vector<zub::OptionType> option_types;
};

// Dividend schedules are immutable; copies share the record list.
using DividendList = std::shared_ptr<const std::vector<zub::Dividend>>;

// Builders keep strong references to the caller's objects.
struct BuilderState {
    BorrowFlag borrow;
    PyObject* instrument = nullptr;  // VanillaOption
    PyObject* market = nullptr;      // OptionMarketFrame or nullptr
    PyObject* config = nullptr;      // Config or nullptr
    std::optional<zub::Instant> valuation_time;
    std::optional<double> target;    // implied volatility only

    BuilderState() = default;
    BuilderState(const BuilderState&) = delete;
    BuilderState& operator=(const BuilderState&) = delete;
    ~BuilderState() {
        release_owned(instrument);
        release_owned(market);
        release_owned(config);
    }
};

// Instances of enumerations are the class attributes; these return the one
// object for a code (borrowed), or nullptr with an exception set.
PyObject* option_type_member(zub::OptionType t);
PyObject* exercise_style_member(zub::ExerciseStyle s);

// New builders for an option object (VanillaOption.valuation / implied_vol).
PyObject* new_valuation_builder(PyObject* option);
PyObject* new_implied_vol_builder(PyObject* option);

// Wrap core values into new Python objects.
PyObject* wrap_rate_curve(const zub::RateCurve& c);
PyObject* wrap_vol_surface(const zub::VolSurface& s);
PyObject* wrap_dividends(DividendList d);
PyObject* wrap_option_result(const zub::OptionResult& r);

}  // namespace zub::py
