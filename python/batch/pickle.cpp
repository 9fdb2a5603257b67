// Pickling and copying of zub's value objects.
//
// zub's classes report the module "builtins", so pickle cannot find them by
// name, and they define no reduction of their own.  A reducer registered
// with copyreg (which pickle, copy.copy and copy.deepcopy all consult)
// turns each object into the call _load(class name, *state) of this module,
// which is how pickle finds it.  Each class has one reduction: the fields of
// its state, and how a state makes the object again.  A state may end in
// optional fields, so a later version appends fields to a state and still
// reads the shorter states pickled before.
//
// Classes with one public constructor are made again by it, from the fields
// the original was made from; classes with several have the constructor's
// name as their first field ("flat", "interpolated"); enumeration members
// and conventions come back as the very same objects; records no public
// constructor reproduces (an expiry keeps nanoseconds a datetime cannot
// carry; results have no constructor) are placed directly into a new
// instance.  Numbers travel as Python ints and floats (carried bit for bit).
//
// Pickles made before by the earlier reconstructors (_rebuild, _member,
// _option, _result, _greeks, _policy, _config) still load: those names stay.
#include "pickle.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "records.hpp"
#include "ref.hpp"

namespace zub::batch {
namespace {

using py::Ref;

// ---------------------------------------------------------------------------
// What the reconstructors may reach in zub, by path.

enum Path : int {
    // Public constructors
    kInterestRate,
    kCompoundingSimple,  // CompoundingKind order
    kCompoundingCompounded,
    kCompoundingContinuous,
    kCompoundingSimpleThenCompounded,
    kTenorDays,  // TenorUnit order
    kTenorWeeks,
    kTenorMonths,
    kTenorYears,
    kRateCurveFlat,
    kRateCurveInterpolated,
    kVolSurfaceFlat,
    kVolSurfaceTermStructure,
    kVolSurfaceSsvi,
    kDividendSchedule,
    kOptionMarketFrame,
    kFdmConfig,
    kTransformSinh,
    kTransformLog,
    kInstrumentPolicy,
    kConfig,
    // Class attributes
    kCall,  // OptionType order
    kPut,
    kAmerican,  // ExerciseStyle order
    kEuropean,
    kAnnual,  // Frequency order
    kSemiAnnual,
    kQuarterly,
    kMonthly,
    kAct360,
    kAct365Fixed,
    kActActIsda,
    kThirty360UsIsda,  // Thirty360Kind order
    kThirty360EurobondIsma,
    kThirty360GermanIsda,
    kPathCount
};
constexpr int kFirstMember = kCall;

constexpr const char* kPaths[] = {
    "InterestRate",
    "Compounding.simple",
    "Compounding.compounded",
    "Compounding.continuous",
    "Compounding.simple_then_compounded",
    "Tenor.days",
    "Tenor.weeks",
    "Tenor.months",
    "Tenor.years",
    "RateCurve.flat",
    "RateCurve.interpolated",
    "VolSurface.flat",
    "VolSurface.term_structure",
    "VolSurface.ssvi",
    "DividendSchedule",
    "OptionMarketFrame",
    "FdmConfig",
    "TransformConfig.sinh",
    "TransformConfig.log",
    "InstrumentPolicy",
    "Config",
    "OptionType.Call",
    "OptionType.Put",
    "ExerciseStyle.American",
    "ExerciseStyle.European",
    "Frequency.Annual",
    "Frequency.SemiAnnual",
    "Frequency.Quarterly",
    "Frequency.Monthly",
    "DayCountConvention.ACT_360",
    "DayCountConvention.ACT_365_FIXED",
    "DayCountConvention.ACT_ACT.ISDA",
    "DayCountConvention.THIRTY_360.US_ISDA",
    "DayCountConvention.THIRTY_360.EUROBOND_ISMA",
    "DayCountConvention.THIRTY_360.GERMAN_ISDA",
};
static_assert(std::size(kPaths) == kPathCount);
static_assert(kCompoundingSimple + static_cast<int>(zub::CompoundingKind::SimpleThenCompounded) ==
              kCompoundingSimpleThenCompounded);
static_assert(kTenorDays + static_cast<int>(zub::TenorUnit::Years) == kTenorYears);
static_assert(kCall + static_cast<int>(zub::OptionType::Put) == kPut);
static_assert(kAmerican + static_cast<int>(zub::ExerciseStyle::European) == kEuropean);
static_assert(kAnnual + static_cast<int>(zub::Frequency::Monthly) == kMonthly);
static_assert(kThirty360UsIsda + static_cast<int>(zub::Thirty360Kind::GermanIsda) == kThirty360GermanIsda);

// Every path starts with the name of a registered class.
constexpr bool paths_name_registered_classes() {
    for (const char* path : kPaths) {
        const std::string_view p = path;
        const std::string_view cls = p.substr(0, p.find('.'));
        if (std::find(py::kClassNames.begin(), py::kClassNames.end(), cls) == py::kClassNames.end()) return false;
    }
    return true;
}
static_assert(paths_name_registered_classes(), "each path starts with a class of registry.hpp");

// Resolved once and kept for the life of the process (never destroyed, so
// no reference is dropped after the interpreter has ended): each path as a
// str (the same object in every reduction, so that pickle stores it once
// per pickle), what it names in zub, the class names, the reconstructor
// _load, and the datetime types that ex-dates travel as.
struct Resolved {
    Ref name[kPathCount];
    Ref target[kPathCount];
    Ref class_name[py::kClassCount];
    Ref load;
    Ref datetime;
    Ref utc;
};
Resolved& resolved = *new Resolved();

// zub.<path>, following each dot.
Ref lookup(PyObject* zub, std::string_view path) {
    Ref at = Ref::borrow(zub);
    while (at && !path.empty()) {
        const std::size_t dot = std::min(path.find('.'), path.size());
        const std::string part(path.substr(0, dot));
        at = Ref::steal(PyObject_GetAttrString(at.get(), part.c_str()));
        path.remove_prefix(std::min(dot + 1, path.size()));
    }
    return at;
}

bool resolve(PyObject* module) {
    if (resolved.utc) return true;
    Resolved r;
    const Ref zub = Ref::steal(PyImport_ImportModule("zub"));
    const Ref dt = Ref::steal(zub ? PyImport_ImportModule("datetime") : nullptr);
    bool ok = static_cast<bool>(dt);
    for (int i = 0; ok && i < kPathCount; ++i) {
        r.name[i] = Ref::steal(PyUnicode_InternFromString(kPaths[i]));
        r.target[i] = r.name[i] ? lookup(zub.get(), kPaths[i]) : Ref();
        ok = static_cast<bool>(r.target[i]);
    }
    for (std::size_t i = 0; ok && i < py::kClassCount; ++i) {
        r.class_name[i] = Ref::steal(PyUnicode_InternFromString(py::kClassNames[i]));
        ok = static_cast<bool>(r.class_name[i]);
    }
    if (ok) {
        r.load = Ref::steal(PyObject_GetAttrString(module, "_load"));
        r.datetime = Ref::steal(r.load ? PyObject_GetAttrString(dt.get(), "datetime") : nullptr);
        const Ref tz = Ref::steal(r.datetime ? PyObject_GetAttrString(dt.get(), "timezone") : nullptr);
        r.utc = Ref::steal(tz ? PyObject_GetAttrString(tz.get(), "utc") : nullptr);
        ok = static_cast<bool>(r.utc);
    }
    // The imports may let another thread finish first; its objects are kept.
    if (ok && !resolved.utc) resolved = std::move(r);
    return ok;
}

// The path index that `s` names within [first, last), or -1 (no exception).
// With `form`, `s` names the part after the class ("flat" of
// "RateCurve.flat").
int find_path(PyObject* s, int first, int last, bool form = false) {
    for (int i = first; !form && i < last; ++i) {
        if (s == resolved.name[i].get()) return i;
    }
    if (!PyUnicode_Check(s)) return -1;
    for (int i = first; i < last; ++i) {
        const char* dot = std::strchr(kPaths[i], '.');
        const char* text = form ? (dot != nullptr ? dot + 1 : "") : kPaths[i];
        if (PyUnicode_CompareWithASCIIString(s, text) == 0) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Building tuples and lists without calling into Python once a step failed.

bool put(PyObject* tuple, Py_ssize_t i, Ref item) {
    if (!item) return false;
    PyTuple_SetItem(tuple, i, item.release());  // steals; cannot fail on a new tuple
    return true;
}

// A tuple of the makers' results; each maker runs only while every one
// before it succeeded.
template <class... Make>
Ref tuple_of(Make&&... make) {
    Ref t = Ref::steal(PyTuple_New(sizeof...(Make)));
    Py_ssize_t i = 0;
    bool ok = static_cast<bool>(t);
    ((ok = ok && put(t.get(), i++, make())), ...);
    return ok ? std::move(t) : Ref();
}

template <class Range, class Make>
Ref list_of(const Range& items, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        if (!list) break;
        Ref o = make(item);
        if (!o) return Ref();
        PyList_SetItem(list.get(), i++, o.release());
    }
    return list;
}

Ref number(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref none() { return Ref::borrow(Py_None); }
Ref optional_number(const std::optional<double>& v) { return v ? number(*v) : none(); }
Ref member(int p) { return Ref::borrow(resolved.target[p].get()); }
Ref path_name(int p) { return Ref::borrow(resolved.name[p].get()); }
// The part of a path after its class: the form a state names.
Ref form_name(int p) { return Ref::steal(PyUnicode_FromString(std::strchr(kPaths[p], '.') + 1)); }

// Makers for tuple_of.
auto field(double v) {
    return [v] { return number(v); };
}
auto field(PyObject* o) {
    return [o] { return Ref::borrow(o); };
}
template <class T>
auto instance(const T& v) {
    return [&v] { return Ref::steal(new_instance<T>(v)); };
}

bool to_optional(PyObject* o, std::optional<double>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Calls zub.<path>(*args).
Ref call_path(int p, PyObject* args) { return Ref::steal(PyObject_Call(resolved.target[p].get(), args, nullptr)); }

// Calls obj.<name>() or obj.<name>(arg) for its effect.
bool call_method(PyObject* obj, const char* name, PyObject* arg = nullptr) {
    return static_cast<bool>(Ref::steal(arg != nullptr ? PyObject_CallMethod(obj, name, "(O)", arg)
                                                       : PyObject_CallMethod(obj, name, nullptr)));
}

// ---------------------------------------------------------------------------
// Reductions.  `state` reads the fields of an object of the class; `load`
// makes the object again from a tuple of `required` to `known` fields.

struct Reduction {
    Ref (*state)(PyObject* o) = nullptr;
    Ref (*load)(PyObject* fields) = nullptr;
    int required = 0;
    int known = 0;
};

// Classes whose state is the constructor's arguments: made by calling it.
template <Path P>
Ref construct(PyObject* fields) {
    return call_path(P, fields);
}

// Classes made by one of several constructors, named by the first field.
template <Path First, Path Last>
Ref construct_form(PyObject* fields) {
    const int p = find_path(PyTuple_GetItem(fields, 0), First, Last + 1, true);
    if (p < 0) {
        PyErr_Format(PyExc_TypeError, "_load(): no constructor %R", PyTuple_GetItem(fields, 0));
        return Ref();
    }
    const Ref args = Ref::steal(PyTuple_GetSlice(fields, 1, PyTuple_Size(fields)));
    return args ? call_path(p, args.get()) : Ref();
}

// Enumeration members and conventions: their path, the very member again.
Ref load_member(PyObject* fields) {
    const int p = find_path(PyTuple_GetItem(fields, 0), kFirstMember, kPathCount);
    if (p < 0) {
        PyErr_Format(PyExc_TypeError,
                     "_member() needs the path of an enumeration member or day-count convention, not %R",
                     PyTuple_GetItem(fields, 0));
        return Ref();
    }
    return member(p);
}

template <class E, Path First>
Ref enum_state(PyObject* o) {
    return tuple_of([o] { return path_name(First + static_cast<int>(*value_if<E>(o))); });
}

// Every convention a Python object can hold is one of the class
// attributes; its path, or -1 with TypeError.
int convention_path(const zub::DayCountConvention& d) {
    switch (d.code()) {
        case zub::DayCountCode::Act360: return kAct360;
        case zub::DayCountCode::Act365Fixed: return kAct365Fixed;
        case zub::DayCountCode::ActAct: return kActActIsda;
        case zub::DayCountCode::Thirty360: return kThirty360UsIsda + static_cast<int>(d.thirty360_kind());
        case zub::DayCountCode::Business252: break;
    }
    PyErr_Format(PyExc_TypeError, "cannot pickle the day-count convention %s", d.debug_text().c_str());
    return -1;
}

Ref convention_member(const zub::DayCountConvention& d) {
    const int p = convention_path(d);
    return p < 0 ? Ref() : member(p);
}

Ref convention_state(PyObject* o) {
    const int p = convention_path(*value_if<zub::DayCountConvention>(o));
    return p < 0 ? Ref() : tuple_of([p] { return path_name(p); });
}

Ref frequency_member(uint8_t periods) {
    switch (periods) {
        case 1: return member(kAnnual);
        case 2: return member(kSemiAnnual);
        case 4: return member(kQuarterly);
        case 12: return member(kMonthly);
        default: break;
    }
    PyErr_Format(PyExc_TypeError, "cannot pickle a compounding of %d periods a year", static_cast<int>(periods));
    return Ref();
}

// (form[, frequency]): simple and continuous keep a period count of 1, as
// their constructors set it.
Ref compounding_state(PyObject* o) {
    const zub::Compounding& c = *value_if<zub::Compounding>(o);
    const int p = kCompoundingSimple + static_cast<int>(c.kind);
    if (p > kCompoundingSimpleThenCompounded) {
        PyErr_SetString(PyExc_TypeError, "cannot pickle an unknown compounding");
        return Ref();
    }
    const auto form = [p] { return form_name(p); };
    if (p == kCompoundingSimple || p == kCompoundingContinuous) return tuple_of(form);
    return tuple_of(form, [&] { return frequency_member(c.frequency); });
}

// (rate, compounding, convention)
Ref interest_rate_state(PyObject* o) {
    const zub::InterestRate& r = *value_if<zub::InterestRate>(o);
    return tuple_of(field(r.rate), instance(r.compounding), [&] { return convention_member(r.dcc); });
}

// (unit, count)
Ref tenor_state(PyObject* o) {
    const zub::Tenor& t = *value_if<zub::Tenor>(o);
    return tuple_of([&] { return form_name(kTenorDays + static_cast<int>(t.unit)); }, [&] { return integer(t.count); });
}

// ("flat", rate) or ("interpolated", reference date, tenors, rates).  A
// continuous curve is a flat one whose rate is continuously compounded, so
// RateCurve.flat of the stored rate reproduces both; an interpolated one
// made again from its nodes has the same node times and zero rates.
Ref rate_curve_state(PyObject* o) {
    const zub::RateCurve& c = *value_if<zub::RateCurve>(o);
    if (!c.is_interpolated()) return tuple_of([] { return form_name(kRateCurveFlat); }, instance(c.rate()));
    return tuple_of([] { return form_name(kRateCurveInterpolated); },
                    [&] { return Ref::steal(py::new_date(c.reference_date())); },
                    [&] { return list_of(c.tenors(), [](const zub::Tenor& t) { return instance(t)(); }); },
                    [&] { return list_of(c.rates(), [](const zub::InterestRate& r) { return instance(r)(); }); });
}

Ref numbers(const std::vector<double>& v) {
    return list_of(v, [](double x) { return number(x); });
}

// (vol, day_count) for a flat surface; the other forms append the name of
// their constructor and its arguments before the day count, with None for
// the vol: (None, day_count, "term_structure", reference_date, tenors,
// vols) and (None, day_count, "ssvi", spot, expiries, forwards, thetas,
// psis, rhos).  Each form is made again by its own constructor from what
// it stores.
Ref vol_surface_state(PyObject* o) {
    const zub::VolSurface& s = *value_if<zub::VolSurface>(o);
    const auto dcc = [&] { return convention_member(s.day_count()); };
    if (const zub::VolTermStructure* ts = s.term_structure_data()) {
        return tuple_of(none, dcc, [] { return form_name(kVolSurfaceTermStructure); },
                        [&] { return Ref::steal(py::new_date(ts->reference_date)); },
                        [&] { return list_of(ts->tenors, [](const zub::Tenor& t) { return instance(t)(); }); },
                        [&] { return numbers(ts->vols); });
    }
    if (const zub::SsviParameters* p = s.ssvi_parameters()) {
        return tuple_of(none, dcc, [] { return form_name(kVolSurfaceSsvi); }, field(p->spot),
                        [&] { return numbers(p->expiries); }, [&] { return numbers(p->forwards); },
                        [&] { return numbers(p->thetas); }, [&] { return numbers(p->psis); },
                        [&] { return numbers(p->rhos); });
    }
    return tuple_of(field(s.volatility(0.0, 0.0)), dcc);
}

// The form's constructor takes the fields after its name, then the day count.
Ref load_vol_surface(PyObject* fields) {
    const Py_ssize_t n = PyTuple_Size(fields);
    if (n == 2) return call_path(kVolSurfaceFlat, fields);
    const int p = find_path(PyTuple_GetItem(fields, 2), kVolSurfaceTermStructure, kVolSurfaceSsvi + 1, true);
    if (p < 0) {
        PyErr_Format(PyExc_TypeError, "_load(): no VolSurface constructor %R", PyTuple_GetItem(fields, 2));
        return Ref();
    }
    const Ref head = Ref::steal(PyTuple_GetSlice(fields, 3, n));
    const Ref day_count = head ? tuple_of(field(PyTuple_GetItem(fields, 1))) : Ref();
    const Ref args = day_count ? Ref::steal(PySequence_Concat(head.get(), day_count.get())) : Ref();
    return args ? call_path(p, args.get()) : Ref();
}

// ([(ex-date, amount), ...]).  Ex-dates were read from datetimes in UTC to
// the microsecond, and the constructor reads such a datetime back to the
// same instant.
Ref dividends_state(PyObject* o) {
    const py::DividendList& list = *value_if<py::DividendList>(o);
    const auto ex_date = [](const zub::Instant& t) {
        return Ref::steal(PyObject_CallFunction(resolved.datetime.get(), "iIIIIIIO", static_cast<int>(t.date.year()),
                                                t.date.month(), t.date.day(), t.secs / 3600, t.secs / 60 % 60,
                                                t.secs % 60, t.nanos / 1000, resolved.utc.get()));
    };
    return tuple_of([&] {
        return list_of(*list, [&](const zub::Dividend& d) {
            return tuple_of([&] { return ex_date(d.ex_date); }, field(d.amount));
        });
    });
}

// ("sinh", alpha) or ("log"): log() stores no alpha of its own (0.0).
Ref transform_state(PyObject* o) {
    const zub::TransformConfig& t = *value_if<zub::TransformConfig>(o);
    if (t.kind == zub::TransformKind::Log) return tuple_of([] { return form_name(kTransformLog); });
    return tuple_of([] { return form_name(kTransformSinh); }, field(t.alpha));
}

// (time_steps, grid_nodes, grid_std_devs, transform): the stored node count
// is odd already, so the constructor keeps it.
Ref fdm_config_state(PyObject* o) {
    const zub::FdmConfig& c = *value_if<zub::FdmConfig>(o);
    return tuple_of([&] { return integer(static_cast<long long>(c.time_steps)); },
                    [&] { return integer(static_cast<long long>(c.grid_nodes)); }, field(c.grid_std_devs),
                    instance(c.transform));
}

// (spot, rate_curve, vol_surface, dividends, borrow_curve), read through
// the frame's public properties.  A frame built from them holds the same
// record, except that a borrow curve removed by its setter (None) must be
// removed again: the constructor stands a zero curve in for an absent one.
Ref frame_state(PyObject* o) {
    const auto attr = [o](const char* name) { return [=] { return Ref::steal(PyObject_GetAttrString(o, name)); }; };
    return tuple_of(attr("spot"), attr("rate_curve"), attr("vol_surface"), attr("dividends"), attr("borrow_curve"));
}

Ref load_frame(PyObject* fields) {
    Ref frame = call_path(kOptionMarketFrame, fields);
    if (frame && PyTuple_GetItem(fields, 4) == Py_None &&
        PyObject_SetAttrString(frame.get(), "borrow_curve", Py_None) < 0) {
        return Ref();
    }
    return frame;
}

// (strike, days since 1970-01-01, second of the day, nanoseconds,
// option_type, exercise_style)
Ref option_state(PyObject* o) {
    const zub::VanillaOption opt = *value_if<zub::VanillaOption>(o);
    return tuple_of(field(opt.strike), [&] { return integer(opt.expiry.date.days_since_epoch()); },
                    [&] { return integer(opt.expiry.secs); }, [&] { return integer(opt.expiry.nanos); },
                    [&] { return member(kCall + static_cast<int>(opt.type)); },
                    [&] { return member(kAmerican + static_cast<int>(opt.style)); });
}

Ref load_option(PyObject* fields) {
    double strike;
    long long days, secs, nanos;
    PyObject *type, *style;
    if (!PyArg_ParseTuple(fields, "dLLLOO:_option", &strike, &days, &secs, &nanos, &type, &style)) return Ref();
    auto* t = value_if<zub::OptionType>(type);
    auto* s = value_if<zub::ExerciseStyle>(style);
    if (t == nullptr || s == nullptr) {
        PyErr_SetString(PyExc_TypeError, "_option() needs an OptionType and an ExerciseStyle");
        return Ref();
    }
    const auto date = zub::Date::from_days(days);
    const bool in_range = secs >= 0 && secs <= UINT32_MAX && nanos >= 0 && nanos <= UINT32_MAX;
    const auto expiry = date && in_range
                            ? zub::Instant::make(*date, static_cast<uint32_t>(secs), static_cast<uint32_t>(nanos))
                            : std::nullopt;
    if (!expiry) {
        PyErr_SetString(PyExc_ValueError, "_option(): invalid expiry instant");
        return Ref();
    }
    return Ref::steal(new_instance<zub::VanillaOption>(zub::VanillaOption{strike, *expiry, *t, *s}));
}

// (delta, gamma, theta, vega, rho), and a result's price before them.
auto greeks_fields(const zub::Greeks& g) {
    return std::tuple(field(g.delta), field(g.gamma), field(g.theta), [&] { return optional_number(g.vega); },
                      [&] { return optional_number(g.rho); });
}

Ref greeks_state(PyObject* o) {
    return std::apply([](auto&&... f) { return tuple_of(f...); }, greeks_fields(*value_if<zub::Greeks>(o)));
}

Ref result_state(PyObject* o) {
    const zub::OptionResult& r = *value_if<zub::OptionResult>(o);
    return std::apply([&](auto&&... f) { return tuple_of(field(r.price), f...); }, greeks_fields(r.greeks));
}

bool read_greeks(PyObject* vega, PyObject* rho, zub::Greeks& g) {
    return to_optional(vega, g.vega) && to_optional(rho, g.rho);
}

Ref load_result(PyObject* fields) {
    zub::OptionResult r;
    PyObject *vega, *rho;
    if (!PyArg_ParseTuple(fields, "ddddOO:_result", &r.price, &r.greeks.delta, &r.greeks.gamma, &r.greeks.theta,
                          &vega, &rho) ||
        !read_greeks(vega, rho, r.greeks)) {
        return Ref();
    }
    return Ref::steal(new_instance<zub::OptionResult>(r));
}

Ref load_greeks(PyObject* fields) {
    zub::Greeks g;
    PyObject *vega, *rho;
    if (!PyArg_ParseTuple(fields, "dddOO:_greeks", &g.delta, &g.gamma, &g.theta, &vega, &rho) ||
        !read_greeks(vega, rho, g)) {
        return Ref();
    }
    return Ref::steal(new_instance<zub::Greeks>(g));
}

// A method slot as (kind, FdmConfig or None), and for the exercise-boundary
// method a trailing tolerance (a float or None).  A state without the
// trailing field is read as before.
constexpr const char* kMethodKinds[] = {"unset", "analytic", "fdm", "exercise_boundary"};
constexpr int kMethodKindCount = 4;

Ref method_state(const zub::PricingMethod& m) {
    const auto kind = [&] { return Ref::steal(PyUnicode_FromString(kMethodKinds[static_cast<int>(m.kind)])); };
    const auto fdm = [&] { return m.fdm ? instance(*m.fdm)() : none(); };
    if (m.kind != zub::PricingMethod::Kind::ExerciseBoundary) return tuple_of(kind, fdm);
    return tuple_of(kind, fdm, [&] { return optional_number(m.tolerance); });
}

// (exercise styles, option types, method): a copy taken under a shared
// borrow, since making the fields can run Python code, which could change
// the policy.
Ref policy_state(PyObject* o) {
    py::PolicyState& v = *value_if<py::PolicyState>(o);
    zub::PricingMethod method;
    std::vector<zub::ExerciseStyle> styles;
    std::vector<zub::OptionType> types;
    {
        py::SharedBorrow b(v.borrow);
        if (!b.ok()) return Ref();
        method = v.method;
        styles = v.exercise_styles;
        types = v.option_types;
    }
    return tuple_of([&] { return list_of(styles, [](zub::ExerciseStyle s) { return member(kAmerican + int(s)); }); },
                    [&] { return list_of(types, [](zub::OptionType t) { return member(kCall + int(t)); }); },
                    [&] { return method_state(method); });
}

// Calls the policy's method for each member of `items` (OptionType or
// ExerciseStyle members), in order.
template <class E>
bool add_members(PyObject* policy, PyObject* items, const char* const (&methods)[2]) {
    const Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) return false;
    while (const Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const E* e = value_if<E>(item.get());
        if (e == nullptr) PyErr_Format(PyExc_TypeError, "_policy() cannot use %R", item.get());
        if (e == nullptr || !call_method(policy, methods[static_cast<int>(*e)])) return false;
    }
    return !PyErr_Occurred();
}

// Sets the method (kind, FdmConfig or None[, tolerance]) of a policy.
bool set_method(PyObject* policy, PyObject* method) {
    PyObject *kind, *fdm;
    PyObject* tolerance = Py_None;
    if (!PyTuple_Check(method)) {
        PyErr_SetString(PyExc_TypeError, "_policy() needs the method as a (kind, fdm_config) tuple");
        return false;
    }
    if (!PyArg_ParseTuple(method, "UO|O:_policy method", &kind, &fdm, &tolerance)) return false;
    int k = 0;
    while (k < kMethodKindCount && PyUnicode_CompareWithASCIIString(kind, kMethodKinds[k]) != 0) ++k;
    switch (k) {
        case static_cast<int>(zub::PricingMethod::Kind::Unset):
            return true;
        case static_cast<int>(zub::PricingMethod::Kind::Analytic):
            return call_method(policy, "analytic");
        case static_cast<int>(zub::PricingMethod::Kind::Fdm):
            return call_method(policy, "fdm", fdm);
        case static_cast<int>(zub::PricingMethod::Kind::ExerciseBoundary):
            return call_method(policy, "exercise_boundary", tolerance);
    }
    PyErr_Format(PyExc_TypeError, "_policy(): unknown method %R", kind);
    return false;
}

// A new InstrumentPolicy with the given styles and types added in order and
// the method set.
Ref new_policy(PyObject* styles, PyObject* types, PyObject* method) {
    static const char* const style_methods[2] = {"american", "european"};  // ExerciseStyle order
    static const char* const type_methods[2] = {"call", "put"};            // OptionType order
    Ref policy = Ref::steal(PyObject_CallNoArgs(resolved.target[kInstrumentPolicy].get()));
    const bool ok = policy && add_members<zub::ExerciseStyle>(policy.get(), styles, style_methods) &&
                    add_members<zub::OptionType>(policy.get(), types, type_methods) &&
                    set_method(policy.get(), method);
    return ok ? std::move(policy) : Ref();
}

Ref load_policy(PyObject* fields) {
    PyObject *styles, *types, *method;
    if (!PyArg_ParseTuple(fields, "OOO:_policy", &styles, &types, &method)) return Ref();
    return new_policy(styles, types, method);
}

// Config.implied_vol_solver's request as its arguments, (method,
// tolerance, max_iterations, low, high), None for those not given.
Ref solver_state(const zub::ConfigTable::SolverRequest& q) {
    return tuple_of(
        [&] {
            return Ref::steal(PyUnicode_FromStringAndSize(q.method.data(), static_cast<Py_ssize_t>(q.method.size())));
        },
        [&] { return optional_number(q.tolerance); },
        [&] { return q.max_iterations ? integer(static_cast<long long>(*q.max_iterations)) : none(); },
        [&] { return optional_number(q.low); }, [&] { return optional_number(q.high); });
}

// (slots[, vega_rho_bump[, solver]]): the four method slots, then the bump
// of on-request vega and rho and the implied-volatility solver's request,
// trailing fields there only when set (the bump None when only the solver
// is).
Ref config_state(PyObject* o) {
    py::ConfigState& v = *value_if<py::ConfigState>(o);
    std::shared_ptr<const zub::ConfigTable> table;
    {
        py::SharedBorrow b(v.borrow);
        if (!b.ok()) return Ref();
        table = v.table;
    }
    const auto slots = [&] { return list_of(table->slots, method_state); };
    const auto bump = [&] { return optional_number(table->fdm_vega_rho_bump); };
    if (table->solver_request) return tuple_of(slots, bump, [&] { return solver_state(*table->solver_request); });
    if (!table->fdm_vega_rho_bump) return tuple_of(slots);
    return tuple_of(slots, bump);
}

// Sets slot i (American call, American put, European call, European put)
// of a Config through a policy naming that slot alone.
bool set_slot(PyObject* cfg, Py_ssize_t i, PyObject* method) {
    const Ref style = tuple_of([i] { return member(kAmerican + static_cast<int>(i / 2)); });
    const Ref type = style ? tuple_of([i] { return member(kCall + static_cast<int>(i % 2)); }) : Ref();
    const Ref p = type ? new_policy(style.get(), type.get(), method) : Ref();
    return p && call_method(cfg, "add_policy", p.get());
}

Ref load_config(PyObject* fields) {
    PyObject* list;
    PyObject* bump = Py_None;
    PyObject* solver = Py_None;
    if (!PyArg_ParseTuple(fields, "O|OO:_config", &list, &bump, &solver)) return Ref();
    if (solver != Py_None && !PyTuple_Check(solver)) {
        PyErr_SetString(PyExc_TypeError, "_config() needs the solver as a tuple of implied_vol_solver's arguments");
        return Ref();
    }
    if (!PyList_Check(list) || PyList_Size(list) != 4) {
        PyErr_SetString(PyExc_TypeError, "_config() needs a list of four method slots");
        return Ref();
    }
    // Making the policies runs Python code (a collection's finalizers) that
    // may change the list: the slots are read from a copy of it.
    const Ref slots = Ref::steal(PyList_AsTuple(list));
    Ref cfg = slots ? Ref::steal(PyObject_CallNoArgs(resolved.target[kConfig].get())) : Ref();
    for (Py_ssize_t i = 0; cfg && i < 4; ++i) {
        if (!set_slot(cfg.get(), i, PyTuple_GetItem(slots.get(), i))) return Ref();
    }
    if (cfg && bump != Py_None && !call_method(cfg.get(), "fdm_vega_rho", bump)) return Ref();
    if (cfg && solver != Py_None) {
        const Ref fn = Ref::steal(PyObject_GetAttrString(cfg.get(), "implied_vol_solver"));
        if (!fn || !Ref::steal(PyObject_Call(fn.get(), solver, nullptr))) return Ref();
    }
    return cfg;
}

// The reduction of each class that has one (found by argument lookup).
Reduction reduction(py::Tag<zub::OptionType>) { return {enum_state<zub::OptionType, kCall>, load_member, 1, 1}; }
Reduction reduction(py::Tag<zub::ExerciseStyle>) {
    return {enum_state<zub::ExerciseStyle, kAmerican>, load_member, 1, 1};
}
Reduction reduction(py::Tag<zub::Frequency>) { return {enum_state<zub::Frequency, kAnnual>, load_member, 1, 1}; }
Reduction reduction(py::Tag<zub::DayCountConvention>) { return {convention_state, load_member, 1, 1}; }
Reduction reduction(py::Tag<zub::Compounding>) {
    return {compounding_state, construct_form<kCompoundingSimple, kCompoundingSimpleThenCompounded>, 1, 2};
}
Reduction reduction(py::Tag<zub::InterestRate>) { return {interest_rate_state, construct<kInterestRate>, 3, 3}; }
Reduction reduction(py::Tag<zub::Tenor>) { return {tenor_state, construct_form<kTenorDays, kTenorYears>, 2, 2}; }
Reduction reduction(py::Tag<zub::RateCurve>) {
    return {rate_curve_state, construct_form<kRateCurveFlat, kRateCurveInterpolated>, 2, 4};
}
Reduction reduction(py::Tag<zub::VolSurface>) { return {vol_surface_state, load_vol_surface, 2, 9}; }
Reduction reduction(py::Tag<py::DividendList>) { return {dividends_state, construct<kDividendSchedule>, 1, 1}; }
Reduction reduction(py::Tag<zub::TransformConfig>) {
    return {transform_state, construct_form<kTransformSinh, kTransformLog>, 1, 2};
}
Reduction reduction(py::Tag<zub::FdmConfig>) { return {fdm_config_state, construct<kFdmConfig>, 4, 4}; }
Reduction reduction(py::Tag<py::FrameState>) { return {frame_state, load_frame, 5, 5}; }
Reduction reduction(py::Tag<zub::VanillaOption>) { return {option_state, load_option, 6, 6}; }
Reduction reduction(py::Tag<zub::OptionResult>) { return {result_state, load_result, 6, 6}; }
Reduction reduction(py::Tag<zub::Greeks>) { return {greeks_state, load_greeks, 5, 5}; }
Reduction reduction(py::Tag<py::PolicyState>) { return {policy_state, load_policy, 3, 3}; }
Reduction reduction(py::Tag<py::ConfigState>) { return {config_state, load_config, 1, 3}; }

template <class V>
concept Reducible = requires { reduction(py::Tag<V>{}); };

// By the registry's order; classes without a reduction (the builders,
// those without instances) have none registered with copyreg.
const std::array<Reduction, py::kClassCount>& reductions() {
    static const auto table = [] {
        std::array<Reduction, py::kClassCount> t{};
        py::for_each_class([&]<class E>(E, std::size_t i) {
            if constexpr (Reducible<typename E::Value>) t[i] = reduction(py::Tag<typename E::Value>{});
        });
        return t;
    }();
    return table;
}

// The position of o's class in the registry, or kClassCount.
std::size_t class_position(PyObject* o) {
    std::size_t i = 0;
    while (i < py::kClassCount && Py_TYPE(o) != zub_class(i)) ++i;
    return i;
}

// ---------------------------------------------------------------------------
// The reducer and the reconstructors

// (_load, (class name, *state))
PyObject* reduce(PyObject*, PyObject* o) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const std::size_t i = class_position(o);
        if (i == py::kClassCount || reductions()[i].state == nullptr) {
            PyErr_Format(PyExc_TypeError, "zub_batch cannot reduce %R", reinterpret_cast<PyObject*>(Py_TYPE(o)));
            return nullptr;
        }
        const Ref state = reductions()[i].state(o);
        const Ref name = state ? tuple_of([i] { return Ref::borrow(resolved.class_name[i].get()); }) : Ref();
        const Ref args = name ? Ref::steal(PySequence_Concat(name.get(), state.get())) : Ref();
        return args ? tuple_of(field(resolved.load.get()), field(args.get())).release() : nullptr;
    });
}

// Makes an object of class i from a tuple of fields, checking their count
// and the class of what the fields made.
PyObject* load_class(std::size_t i, PyObject* fields) {
    const Reduction& r = reductions()[i];
    const Py_ssize_t n = PyTuple_Size(fields);
    if (r.load == nullptr || n < r.required || n > r.known) {
        PyErr_Format(PyExc_TypeError, "_load(): a %s state of %zd fields", py::kClassNames[i], n);
        return nullptr;
    }
    Ref made = r.load(fields);
    if (made && Py_TYPE(made.get()) != zub_class(i)) {
        PyErr_Format(PyExc_TypeError, "_load(): the %s state made a %R", py::kClassNames[i],
                     reinterpret_cast<PyObject*>(Py_TYPE(made.get())));
        return nullptr;
    }
    return made.release();
}

// _load(class name, *state)
PyObject* load(PyObject*, PyObject* args) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* name = PyTuple_Size(args) > 0 ? PyTuple_GetItem(args, 0) : nullptr;
        std::size_t i = 0;
        while (name != nullptr && PyUnicode_Check(name) && i < py::kClassCount &&
               PyUnicode_CompareWithASCIIString(name, py::kClassNames[i]) != 0) {
            ++i;
        }
        if (name == nullptr || !PyUnicode_Check(name) || i == py::kClassCount) {
            PyErr_SetString(PyExc_TypeError, "_load() needs the name of one of zub's classes first");
            return nullptr;
        }
        const Ref fields = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_Size(args)));
        return fields ? load_class(i, fields.get()) : nullptr;
    });
}

// The earlier reconstructors, which pickles made before call.

// _rebuild(path, *args): one of zub's public constructors, by its path.
PyObject* rebuild(PyObject*, PyObject* args) {
    return py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Py_ssize_t n = PyTuple_Size(args);
        const int p = n > 0 ? find_path(PyTuple_GetItem(args, 0), 0, kFirstMember) : -1;
        if (p < 0) {
            PyErr_SetString(PyExc_TypeError, "_rebuild() needs the path of one of zub's constructors first");
            return nullptr;
        }
        const Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, n));
        return rest ? call_path(p, rest.get()).release() : nullptr;
    });
}

PyObject* member_of(PyObject*, PyObject* path) {
    return py::guarded<PyObject*>(nullptr, [&] {
        const Ref fields = tuple_of(field(path));
        return fields ? load_member(fields.get()).release() : nullptr;
    });
}

// _option, _result, _greeks, _policy, _config: the state of the class.
template <class V>
PyObject* load_state(PyObject*, PyObject* args) {
    return py::guarded<PyObject*>(nullptr, [&] { return load_class(py::class_index<V>, args); });
}

PyMethodDef reconstructors[] = {
    {"_load", load, METH_VARARGS, "_load(class_name, *state)\n--\n\nMakes one of zub's objects from its state."},
    {"_rebuild", rebuild, METH_VARARGS, "_rebuild(path, *args)\n--\n\nCalls one of zub's constructors."},
    {"_member", member_of, METH_O, "_member(path)\n--\n\nOne of zub's class attributes."},
    {"_option", load_state<zub::VanillaOption>, METH_VARARGS,
     "_option(strike, days, second, nanos, option_type, exercise_style)\n--\n\n"},
    {"_result", load_state<zub::OptionResult>, METH_VARARGS,
     "_result(price, delta, gamma, theta, vega, rho)\n--\n\n"},
    {"_greeks", load_state<zub::Greeks>, METH_VARARGS, "_greeks(delta, gamma, theta, vega, rho)\n--\n\n"},
    {"_policy", load_state<py::PolicyState>, METH_VARARGS,
     "_policy(exercise_styles, option_types, method)\n--\n\n"},
    {"_config", load_state<py::ConfigState>, METH_VARARGS,
     "_config(slots, vega_rho_bump=None, solver=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef reducer = {"_reduce", reduce, METH_O, nullptr};

}  // namespace
}  // namespace zub::batch

extern "C" int zub_batch_register_reducers(PyObject* module) {
    using namespace zub::batch;
    using zub::py::Ref;
    if (!load_zub_classes() || PyModule_AddFunctions(module, reconstructors) < 0 || !resolve(module)) return -1;
    const Ref name = Ref::steal(PyModule_GetNameObject(module));
    const Ref fn = Ref::steal(name ? PyCFunction_NewEx(&reducer, module, name.get()) : nullptr);
    const Ref copyreg = Ref::steal(fn ? PyImport_ImportModule("copyreg") : nullptr);
    if (!copyreg) return -1;
    for (std::size_t i = 0; i < zub::py::kClassCount; ++i) {
        if (reductions()[i].state == nullptr) continue;
        const Ref r = Ref::steal(PyObject_CallMethod(copyreg.get(), "pickle", "OO",
                                                     reinterpret_cast<PyObject*>(zub_class(i)), fn.get()));
        if (!r) return -1;
    }
    return 0;
}
