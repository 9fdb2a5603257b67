// Type objects of the module's classes and the values their instances hold.
// Each getter creates its type on first use (once per process) and returns
// a borrowed reference, or nullptr with an exception set.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "core/period.hpp"
#include "core/rate.hpp"
#include "declare.hpp"
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

// Builders keep strong references to the caller's objects.  The classes
// have no garbage-collector slots on purpose: none of these objects can
// refer back to a builder, so no cycle runs through one.
struct BuilderState {
    BorrowFlag borrow;
    Ref instrument;  // VanillaOption
    Ref market;      // OptionMarketFrame or empty
    Ref config;      // Config or empty
    std::optional<zub::Instant> valuation_time;
    std::optional<double> target;  // implied volatility only
};

// The class holding each value type, for arguments and results.
inline PyTypeObject* class_of(Tag<zub::DayCountConvention>) { return type_DayCountConvention(); }
inline PyTypeObject* class_of(Tag<zub::Tenor>) { return type_Tenor(); }
inline PyTypeObject* class_of(Tag<zub::Frequency>) { return type_Frequency(); }
inline PyTypeObject* class_of(Tag<zub::Compounding>) { return type_Compounding(); }
inline PyTypeObject* class_of(Tag<zub::InterestRate>) { return type_InterestRate(); }
inline PyTypeObject* class_of(Tag<zub::OptionType>) { return type_OptionType(); }
inline PyTypeObject* class_of(Tag<zub::ExerciseStyle>) { return type_ExerciseStyle(); }
inline PyTypeObject* class_of(Tag<zub::VanillaOption>) { return type_VanillaOption(); }
inline PyTypeObject* class_of(Tag<zub::RateCurve>) { return type_RateCurve(); }
inline PyTypeObject* class_of(Tag<zub::VolSurface>) { return type_VolSurface(); }
inline PyTypeObject* class_of(Tag<DividendList>) { return type_DividendSchedule(); }
inline PyTypeObject* class_of(Tag<FrameState>) { return type_OptionMarketFrame(); }
inline PyTypeObject* class_of(Tag<zub::TransformConfig>) { return type_TransformConfig(); }
inline PyTypeObject* class_of(Tag<zub::FdmConfig>) { return type_FdmConfig(); }
inline PyTypeObject* class_of(Tag<PolicyState>) { return type_InstrumentPolicy(); }
inline PyTypeObject* class_of(Tag<ConfigState>) { return type_Config(); }
inline PyTypeObject* class_of(Tag<zub::OptionResult>) { return type_OptionResult(); }
inline PyTypeObject* class_of(Tag<zub::Greeks>) { return type_Greeks(); }

// A new builder of `type` for an option object (VanillaOption.valuation and
// implied_vol).
Ref new_builder(PyTypeObject* type, PyObject* option);

}  // namespace zub::py
