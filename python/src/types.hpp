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
template <>
struct PyClass<zub::DayCountConvention> : ClassOf<type_DayCountConvention, "DayCountConvention"> {};
template <>
struct PyClass<zub::Tenor> : ClassOf<type_Tenor, "Tenor"> {};
template <>
struct PyClass<zub::Frequency> : ClassOf<type_Frequency, "Frequency"> {};
template <>
struct PyClass<zub::Compounding> : ClassOf<type_Compounding, "Compounding"> {};
template <>
struct PyClass<zub::InterestRate> : ClassOf<type_InterestRate, "InterestRate"> {};
template <>
struct PyClass<zub::OptionType> : ClassOf<type_OptionType, "OptionType"> {};
template <>
struct PyClass<zub::ExerciseStyle> : ClassOf<type_ExerciseStyle, "ExerciseStyle"> {};
template <>
struct PyClass<zub::VanillaOption> : ClassOf<type_VanillaOption, "VanillaOption"> {};
template <>
struct PyClass<zub::RateCurve> : ClassOf<type_RateCurve, "RateCurve"> {};
template <>
struct PyClass<zub::VolSurface> : ClassOf<type_VolSurface, "VolSurface"> {};
template <>
struct PyClass<DividendList> : ClassOf<type_DividendSchedule, "DividendSchedule"> {};
template <>
struct PyClass<FrameState> : ClassOf<type_OptionMarketFrame, "OptionMarketFrame"> {};
template <>
struct PyClass<zub::TransformConfig> : ClassOf<type_TransformConfig, "TransformConfig"> {};
template <>
struct PyClass<zub::FdmConfig> : ClassOf<type_FdmConfig, "FdmConfig"> {};
template <>
struct PyClass<PolicyState> : ClassOf<type_InstrumentPolicy, "InstrumentPolicy"> {};
template <>
struct PyClass<ConfigState> : ClassOf<type_Config, "Config"> {};
template <>
struct PyClass<zub::OptionResult> : ClassOf<type_OptionResult, "OptionResult"> {};
template <>
struct PyClass<zub::Greeks> : ClassOf<type_Greeks, "Greeks"> {};

// A new builder of `type` for an option object (VanillaOption.valuation and
// implied_vol).
Ref new_builder(PyTypeObject* type, PyObject* option);

}  // namespace zub::py
