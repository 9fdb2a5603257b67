// OptionType, ExerciseStyle and VanillaOption.
#include "types.hpp"

namespace zub::py {
namespace {

using zub::ExerciseStyle;
using zub::OptionType;
using zub::VanillaOption;

const char* option_type_repr(const OptionType& t) {
    return t == OptionType::Call ? "OptionType.Call" : "OptionType.Put";
}
const char* exercise_style_repr(const ExerciseStyle& s) {
    return s == ExerciseStyle::American ? "ExerciseStyle.American" : "ExerciseStyle.European";
}
template <class E>
int code(const E& e) {
    return static_cast<int>(e);
}

constexpr char kValuationNaive[] = "valuation_date must be timezone-aware (e.g., UTC or New York time)";
constexpr char kValuationInvalid[] = "Invalid valuation_date timestamp";

const char* const kOptionParams[] = {"strike", "expiry_time", "option_type", "exercise_style"};
constexpr Signature kOptionSig{"VanillaOption.__new__", kOptionParams, 4, 4};

// Written by hand: the expiry is checked to be a datetime in its place, but
// its offset and timestamp are read only after the other arguments converted.
PyObject* option_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[4] = {};
        double strike;
        OptionType* ot;
        ExerciseStyle* es;
        zub::Instant expiry;
        if (!bind(kOptionSig, args, kwargs, p) || !to_double(p[0], "strike", strike) ||
            !require_datetime(p[1], "expiry_time") || !Param<OptionType>::read(p[2], "option_type", ot) ||
            !Param<ExerciseStyle>::read(p[3], "exercise_style", es) ||
            !aware_instant(p[1], Rounding::Truncate, kExpiryNaive, kInvalidTimestamp, expiry)) {
            return nullptr;
        }
        return new_box<VanillaOption>(type, VanillaOption{strike, expiry, *ot, *es});
    });
}

using ValuationDate = AwareTime<Rounding::Floor, kValuationNaive, kValuationInvalid>;

double years_to_expiry(const VanillaOption& o, std::optional<ValuationDate> d) {
    return o.years_to_expiry(d ? d->value : now_instant());
}

Ref valuation(PyObject* self) { return new_builder(type_ValuationBuilder(), self); }
Ref implied_vol(PyObject* self) { return new_builder(type_ImpliedVolBuilder(), self); }

}  // namespace

PyTypeObject* type_OptionType() {
    return once([] {
        return make_enum<OptionType>(
            {.name = "builtins.OptionType", .repr = read_slot<option_type_repr>, .as_int = read_slot<code<OptionType>>},
            {{"Call", OptionType::Call}, {"Put", OptionType::Put}});
    });
}

PyTypeObject* type_ExerciseStyle() {
    return once([] {
        return make_enum<ExerciseStyle>({.name = "builtins.ExerciseStyle",
                                         .repr = read_slot<exercise_style_repr>,
                                         .as_int = read_slot<code<ExerciseStyle>>},
                                        {{"American", ExerciseStyle::American}, {"European", ExerciseStyle::European}});
    });
}

PyTypeObject* type_VanillaOption() {
    return once([] {
        return make_class<VanillaOption>({
            .name = "builtins.VanillaOption",
            .methods = {method<"VanillaOption.years_to_expiry", years_to_expiry, "valuation_date">(),
                        method<"VanillaOption.valuation", valuation>(),
                        method<"VanillaOption.implied_vol", implied_vol>()},
            .getset = {getter<"strike", &VanillaOption::strike>()},
            .init = {option_new, text_signature(kOptionSig, false)},
        });
    });
}

}  // namespace zub::py
