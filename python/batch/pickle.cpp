// Pickling and copying of zub's value objects.
//
// zub's classes report the module "builtins", so pickle cannot find them by
// name, and they define no reduction of their own.  A reducer registered
// with copyreg (which pickle, copy.copy and copy.deepcopy all consult)
// turns each object into a call of one of the reconstructors below; they
// are attributes of this module, which is how pickle finds them:
//
//   _member(path)          a class attribute: an enumeration member or a
//                          day-count convention, which comes back as the
//                          very same object
//   _rebuild(path, *args)  one of zub's public constructors, named by its
//                          path in zub ("RateCurve.flat"), called with args
//   _policy, _config       a new InstrumentPolicy or Config set up through
//                          its public methods, in order
//   _option, _result,      records no public constructor reproduces (an
//   _greeks                expiry keeps nanoseconds a datetime cannot
//                          carry; results have no constructor), placed
//                          directly into a new instance
//
// Each path and the arguments read from an object reproduce its state
// exactly: numbers travel as Python ints and floats (carried bit for bit),
// and each public constructor is handed what the original was made from.
// Values are read through records.hpp, after an exact type check.
#include "pickle.hpp"

#include <iterator>
#include <new>
#include <optional>
#include <vector>

#include "records.hpp"
#include "ref.hpp"

namespace zub::batch {
namespace {

// A new reference to a borrowed object.
PyObject* new_ref(PyObject* o) { return py::Ref::borrow(o).release(); }

// ---------------------------------------------------------------------------
// What the reconstructors may reach in zub, by path.

enum Path : int {
    // Public constructors
    kInterestRate,
    kCompoundingSimple,
    kCompoundingContinuous,
    kCompoundingCompounded,
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
    "Compounding.continuous",
    "Compounding.compounded",
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

// Resolved once and kept for the life of the process (strong references):
// each path as a str (the same object in every reduction, so that pickle
// stores it once per pickle), what it names in zub, and the datetime types
// that ex-dates and reference dates travel as.
struct Resolved {
    PyObject* name[kPathCount] = {};
    PyObject* target[kPathCount] = {};
    PyObject* date = nullptr;
    PyObject* datetime = nullptr;
    PyObject* utc = nullptr;
};
Resolved resolved;

// zub.<path>, following each dot; a new reference.
PyObject* lookup(PyObject* zub, const char* path) {
    PyObject* at = new_ref(zub);
    char part[64];
    while (at != nullptr && *path != '\0') {
        std::size_t n = 0;
        while (path[n] != '\0' && path[n] != '.' && n + 1 < sizeof part) {
            part[n] = path[n];
            ++n;
        }
        part[n] = '\0';
        path += path[n] == '.' ? n + 1 : n;
        PyObject* next = PyObject_GetAttrString(at, part);
        Py_DECREF(at);
        at = next;
    }
    return at;
}

bool resolve() {
    if (resolved.utc != nullptr) return true;
    Resolved r;
    PyObject* zub = PyImport_ImportModule("zub");
    PyObject* dt = zub != nullptr ? PyImport_ImportModule("datetime") : nullptr;
    bool ok = dt != nullptr;
    for (int i = 0; ok && i < kPathCount; ++i) {
        r.name[i] = PyUnicode_InternFromString(kPaths[i]);
        r.target[i] = r.name[i] != nullptr ? lookup(zub, kPaths[i]) : nullptr;
        ok = r.target[i] != nullptr;
    }
    if (ok) {
        r.date = PyObject_GetAttrString(dt, "date");
        r.datetime = r.date != nullptr ? PyObject_GetAttrString(dt, "datetime") : nullptr;
        PyObject* tz = r.datetime != nullptr ? PyObject_GetAttrString(dt, "timezone") : nullptr;
        r.utc = tz != nullptr ? PyObject_GetAttrString(tz, "utc") : nullptr;
        Py_XDECREF(tz);
        ok = r.utc != nullptr;
    }
    Py_XDECREF(zub);
    Py_XDECREF(dt);
    // The imports may let another thread finish first; its objects are kept.
    if (!ok || resolved.utc != nullptr) {
        for (int i = 0; i < kPathCount; ++i) {
            Py_XDECREF(r.name[i]);
            Py_XDECREF(r.target[i]);
        }
        Py_XDECREF(r.date);
        Py_XDECREF(r.datetime);
        Py_XDECREF(r.utc);
        return ok;
    }
    resolved = r;
    return true;
}

// The path index that `s` names within [first, last), or -1 (no exception).
int find_path(PyObject* s, int first, int last) {
    for (int i = first; i < last; ++i) {
        if (s == resolved.name[i]) return i;
    }
    if (!PyUnicode_Check(s)) return -1;
    for (int i = first; i < last; ++i) {
        if (PyUnicode_CompareWithASCIIString(s, kPaths[i]) == 0) return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Building tuples and lists without calling into Python once a step failed.

bool put(PyObject* tuple, Py_ssize_t i, PyObject* item) {
    if (item == nullptr) return false;
    PyTuple_SetItem(tuple, i, item);  // steals; cannot fail on a new tuple
    return true;
}

// A tuple of the makers' results (new references); each maker runs only
// while every one before it succeeded.
template <class... Make>
PyObject* tuple_of(Make&&... make) {
    PyObject* t = PyTuple_New(sizeof...(Make));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    bool ok = true;
    ((ok = ok && put(t, i++, make())), ...);
    if (!ok) Py_CLEAR(t);
    return t;
}

template <class Range, class Make>
PyObject* list_of(const Range& items, Make&& make) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(std::size(items)));
    if (list == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* o = make(item);
        if (o == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SetItem(list, i++, o);
    }
    return list;
}

// A recipe: (path name, arguments...), what _rebuild takes.
template <class... Make>
PyObject* recipe(Path p, Make&&... make) {
    return tuple_of([p] { return new_ref(resolved.name[p]); }, std::forward<Make>(make)...);
}

// Calls the constructor a recipe names with its arguments.
PyObject* cook(PyObject* recipe) {
    const Py_ssize_t n = PyTuple_Check(recipe) ? PyTuple_Size(recipe) : 0;
    const int p = n > 0 ? find_path(PyTuple_GetItem(recipe, 0), 0, kFirstMember) : -1;
    if (p < 0) {
        PyErr_SetString(PyExc_TypeError, "_rebuild() needs the path of one of zub's constructors first");
        return nullptr;
    }
    PyObject* args = PyTuple_GetSlice(recipe, 1, n);
    if (args == nullptr) return nullptr;
    PyObject* made = PyObject_Call(resolved.target[p], args, nullptr);
    Py_DECREF(args);
    return made;
}

// The object a recipe makes, consuming the recipe.
PyObject* made_by(PyObject* recipe) {
    if (recipe == nullptr) return nullptr;
    PyObject* made = cook(recipe);
    Py_DECREF(recipe);
    return made;
}

PyObject* member(int p) { return new_ref(resolved.target[p]); }

PyObject* new_float(double v) { return PyFloat_FromDouble(v); }

PyObject* optional_float(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : new_ref(Py_None); }

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

// ---------------------------------------------------------------------------
// Recipes of zub's values

PyObject* frequency_member(uint8_t periods) {
    switch (periods) {
        case 1: return member(kAnnual);
        case 2: return member(kSemiAnnual);
        case 4: return member(kQuarterly);
        case 12: return member(kMonthly);
        default: break;
    }
    PyErr_Format(PyExc_TypeError, "cannot pickle a compounding of %d periods a year", static_cast<int>(periods));
    return nullptr;
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

PyObject* convention_member(const zub::DayCountConvention& d) {
    const int p = convention_path(d);
    return p < 0 ? nullptr : member(p);
}

PyObject* compounding_recipe(const zub::Compounding& c) {
    // Simple and continuous keep a period count of 1, as their constructors set it.
    const auto frequency = [&] { return frequency_member(c.frequency); };
    switch (c.kind) {
        case zub::CompoundingKind::Simple: return recipe(kCompoundingSimple);
        case zub::CompoundingKind::Continuous: return recipe(kCompoundingContinuous);
        case zub::CompoundingKind::Compounded: return recipe(kCompoundingCompounded, frequency);
        case zub::CompoundingKind::SimpleThenCompounded: return recipe(kCompoundingSimpleThenCompounded, frequency);
    }
    PyErr_SetString(PyExc_TypeError, "cannot pickle an unknown compounding");
    return nullptr;
}

PyObject* interest_rate_recipe(const zub::InterestRate& r) {
    return recipe(
        kInterestRate, [&] { return new_float(r.rate); },
        [&] { return made_by(compounding_recipe(r.compounding)); }, [&] { return convention_member(r.dcc); });
}

PyObject* tenor_recipe(const zub::Tenor& t) {
    return recipe(static_cast<Path>(kTenorDays + static_cast<int>(t.unit)),
                  [&] { return PyLong_FromLong(t.count); });
}

PyObject* new_date(zub::Date d) {
    return PyObject_CallFunction(resolved.date, "iII", static_cast<int>(d.year()), d.month(), d.day());
}

// A continuous curve is a flat one whose rate is continuously compounded,
// so RateCurve.flat of the stored rate reproduces both.  An interpolated
// curve is made again from its reference date, tenors and rates, which
// gives the same node times and zero rates.
PyObject* rate_curve_recipe(const zub::RateCurve& c) {
    if (!c.is_interpolated()) {
        return recipe(kRateCurveFlat, [&] { return made_by(interest_rate_recipe(c.rate())); });
    }
    return recipe(
        kRateCurveInterpolated, [&] { return new_date(c.reference_date()); },
        [&] { return list_of(c.tenors(), [](const zub::Tenor& t) { return made_by(tenor_recipe(t)); }); },
        [&] {
            return list_of(c.rates(), [](const zub::InterestRate& r) { return made_by(interest_rate_recipe(r)); });
        });
}

// Each form is made again by its own constructor from what it stores.
PyObject* vol_surface_recipe(const zub::VolSurface& s) {
    const auto floats = [](const std::vector<double>& v) { return list_of(v, [](double x) { return new_float(x); }); };
    if (const zub::VolTermStructure* ts = s.term_structure_data()) {
        return recipe(
            kVolSurfaceTermStructure, [&] { return new_date(ts->reference_date); },
            [&] { return list_of(ts->tenors, [](const zub::Tenor& t) { return made_by(tenor_recipe(t)); }); },
            [&] { return floats(ts->vols); }, [&] { return convention_member(s.day_count()); });
    }
    if (const zub::SsviParameters* p = s.ssvi_parameters()) {
        return recipe(
            kVolSurfaceSsvi, [&] { return new_float(p->spot); }, [&] { return floats(p->expiries); },
            [&] { return floats(p->forwards); }, [&] { return floats(p->thetas); }, [&] { return floats(p->psis); },
            [&] { return floats(p->rhos); }, [&] { return convention_member(s.day_count()); });
    }
    return recipe(
        kVolSurfaceFlat, [&] { return new_float(s.volatility(0.0, 0.0)); },
        [&] { return convention_member(s.day_count()); });
}

// Ex-dates were read from datetimes in UTC to the microsecond, and the
// constructor reads such a datetime back to the same instant.
PyObject* dividends_recipe(const py::DividendList& list) {
    const auto ex_date = [](const zub::Instant& t) {
        return PyObject_CallFunction(resolved.datetime, "iIIIIIIO", static_cast<int>(t.date.year()), t.date.month(),
                                     t.date.day(), t.secs / 3600, t.secs / 60 % 60, t.secs % 60, t.nanos / 1000,
                                     resolved.utc);
    };
    return recipe(kDividendSchedule, [&] {
        return list_of(*list, [&](const zub::Dividend& d) {
            return tuple_of([&] { return ex_date(d.ex_date); }, [&] { return new_float(d.amount); });
        });
    });
}

PyObject* transform_recipe(const zub::TransformConfig& t) {
    // log() stores no alpha of its own (0.0).
    if (t.kind == zub::TransformKind::Log) return recipe(kTransformLog);
    return recipe(kTransformSinh, [&] { return new_float(t.alpha); });
}

// The stored node count is odd already, so the constructor keeps it.
PyObject* fdm_config_recipe(const zub::FdmConfig& c) {
    return recipe(
        kFdmConfig, [&] { return PyLong_FromUnsignedLongLong(c.time_steps); },
        [&] { return PyLong_FromUnsignedLongLong(c.grid_nodes); }, [&] { return new_float(c.grid_std_devs); },
        [&] { return made_by(transform_recipe(c.transform)); });
}

// A method slot as (kind, FdmConfig or None), and for the exercise-boundary
// method a trailing tolerance (a float or None).  A state without the
// trailing field is read as before.
constexpr const char* kMethodKinds[] = {"unset", "analytic", "fdm", "exercise_boundary"};
constexpr int kMethodKindCount = 4;

PyObject* method_state(const zub::PricingMethod& m) {
    const auto kind = [&] { return PyUnicode_FromString(kMethodKinds[static_cast<int>(m.kind)]); };
    const auto fdm = [&] { return m.fdm ? made_by(fdm_config_recipe(*m.fdm)) : new_ref(Py_None); };
    if (m.kind != zub::PricingMethod::Kind::ExerciseBoundary) return tuple_of(kind, fdm);
    return tuple_of(kind, fdm, [&] { return m.tolerance ? new_float(*m.tolerance) : new_ref(Py_None); });
}

// Config.implied_vol_solver's request as its arguments, (method,
// tolerance, max_iterations, low, high), None for those not given.
PyObject* solver_state(const zub::ConfigTable::SolverRequest& q) {
    const auto number = [](const std::optional<double>& v) {
        return [&v] { return v ? new_float(*v) : new_ref(Py_None); };
    };
    return tuple_of(
        [&] { return PyUnicode_FromStringAndSize(q.method.data(), static_cast<Py_ssize_t>(q.method.size())); },
        number(q.tolerance),
        [&] { return q.max_iterations ? PyLong_FromUnsignedLongLong(*q.max_iterations) : new_ref(Py_None); },
        number(q.low), number(q.high));
}

// The frame is read through its public properties; a frame built from them
// holds the same record, except that a borrow curve removed by its setter
// must be removed again (the constructor stands a zero curve in for an
// absent one), which the reduction's state does through that setter.
PyObject* frame_reduce(PyObject* rebuild, PyObject* frame) {
    PyObject* borrow = PyObject_GetAttrString(frame, "borrow_curve");
    if (borrow == nullptr) return nullptr;
    const auto attr = [frame](const char* name) { return [=] { return PyObject_GetAttrString(frame, name); }; };
    PyObject* made = recipe(kOptionMarketFrame, attr("spot"), attr("rate_curve"), attr("vol_surface"),
                            attr("dividends"), [&] { return new_ref(borrow); });
    PyObject* r = nullptr;
    if (made != nullptr) {
        r = borrow == Py_None ? Py_BuildValue("(OO(O{sO}))", rebuild, made, Py_None, "borrow_curve", Py_None)
                              : Py_BuildValue("(OO)", rebuild, made);
    }
    Py_XDECREF(made);
    Py_DECREF(borrow);
    return r;
}

// ---------------------------------------------------------------------------
// The reducer

// Runs `body`, turning an escaping C++ exception into a Python one.
template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected internal failure");
    }
    return nullptr;
}

// (module.<reconstructor>, args) with args made by `make`.
template <class Make>
PyObject* call_of(PyObject* module, const char* reconstructor, Make&& make) {
    return tuple_of([&] { return PyObject_GetAttrString(module, reconstructor); }, std::forward<Make>(make));
}

PyObject* rebuild_call(PyObject* module, PyObject* recipe) {
    if (recipe == nullptr) return nullptr;
    PyObject* fn = PyObject_GetAttrString(module, "_rebuild");
    PyObject* r = fn != nullptr ? Py_BuildValue("(OO)", fn, recipe) : nullptr;
    Py_XDECREF(fn);
    Py_DECREF(recipe);
    return r;
}

PyObject* member_call(PyObject* module, int p) {
    return call_of(module, "_member", [p] { return tuple_of([p] { return new_ref(resolved.name[p]); }); });
}

PyObject* reduce(PyObject* module, PyObject* o) {
    return guard([&]() -> PyObject* {
        if (auto* v = value_if<zub::OptionType>(o)) return member_call(module, kCall + static_cast<int>(*v));
        if (auto* v = value_if<zub::ExerciseStyle>(o)) {
            return member_call(module, kAmerican + static_cast<int>(*v));
        }
        if (auto* v = value_if<zub::Frequency>(o)) return member_call(module, kAnnual + static_cast<int>(*v));
        if (auto* v = value_if<zub::DayCountConvention>(o)) {
            const int p = convention_path(*v);
            return p < 0 ? nullptr : member_call(module, p);
        }
        if (auto* v = value_if<zub::Compounding>(o)) return rebuild_call(module, compounding_recipe(*v));
        if (auto* v = value_if<zub::InterestRate>(o)) return rebuild_call(module, interest_rate_recipe(*v));
        if (auto* v = value_if<zub::Tenor>(o)) return rebuild_call(module, tenor_recipe(*v));
        if (auto* v = value_if<zub::RateCurve>(o)) return rebuild_call(module, rate_curve_recipe(*v));
        if (auto* v = value_if<zub::VolSurface>(o)) return rebuild_call(module, vol_surface_recipe(*v));
        if (auto* v = value_if<py::DividendList>(o)) return rebuild_call(module, dividends_recipe(*v));
        if (auto* v = value_if<zub::TransformConfig>(o)) return rebuild_call(module, transform_recipe(*v));
        if (auto* v = value_if<zub::FdmConfig>(o)) return rebuild_call(module, fdm_config_recipe(*v));
        if (value_if<py::FrameState>(o) != nullptr) {
            PyObject* rebuild = PyObject_GetAttrString(module, "_rebuild");
            if (rebuild == nullptr) return nullptr;
            PyObject* r = frame_reduce(rebuild, o);
            Py_DECREF(rebuild);
            return r;
        }
        if (auto* v = value_if<zub::VanillaOption>(o)) {
            const zub::VanillaOption opt = *v;
            return call_of(module, "_option", [&] {
                return tuple_of([&] { return new_float(opt.strike); },
                                [&] { return PyLong_FromLong(opt.expiry.date.days_since_epoch()); },
                                [&] { return PyLong_FromUnsignedLong(opt.expiry.secs); },
                                [&] { return PyLong_FromUnsignedLong(opt.expiry.nanos); },
                                [&] { return member(kCall + static_cast<int>(opt.type)); },
                                [&] { return member(kAmerican + static_cast<int>(opt.style)); });
            });
        }
        if (auto* v = value_if<zub::OptionResult>(o)) {
            const zub::OptionResult r = *v;
            return call_of(module, "_result", [&] {
                return tuple_of([&] { return new_float(r.price); }, [&] { return new_float(r.greeks.delta); },
                                [&] { return new_float(r.greeks.gamma); }, [&] { return new_float(r.greeks.theta); },
                                [&] { return optional_float(r.greeks.vega); },
                                [&] { return optional_float(r.greeks.rho); });
            });
        }
        if (auto* v = value_if<zub::Greeks>(o)) {
            const zub::Greeks g = *v;
            return call_of(module, "_greeks", [&] {
                return tuple_of([&] { return new_float(g.delta); }, [&] { return new_float(g.gamma); },
                                [&] { return new_float(g.theta); }, [&] { return optional_float(g.vega); },
                                [&] { return optional_float(g.rho); });
            });
        }
        if (auto* v = value_if<py::PolicyState>(o)) {
            // A copy taken under a shared borrow: making the arguments can
            // run Python code, which could change the policy.
            zub::PricingMethod method;
            std::vector<zub::ExerciseStyle> styles;
            std::vector<zub::OptionType> types;
            {
                py::SharedBorrow b(v->borrow);
                if (!b.ok()) return nullptr;
                method = v->method;
                styles = v->exercise_styles;
                types = v->option_types;
            }
            return call_of(module, "_policy", [&] {
                return tuple_of(
                    [&] { return list_of(styles, [](zub::ExerciseStyle s) { return member(kAmerican + int(s)); }); },
                    [&] { return list_of(types, [](zub::OptionType t) { return member(kCall + int(t)); }); },
                    [&] { return method_state(method); });
            });
        }
        if (auto* v = value_if<py::ConfigState>(o)) {
            std::shared_ptr<const zub::ConfigTable> table;
            {
                py::SharedBorrow b(v->borrow);
                if (!b.ok()) return nullptr;
                table = v->table;
            }
            // The bump of on-request vega and rho and the implied-volatility
            // solver's request are trailing fields, there only when set
            // (the bump None when only the solver is): states made before
            // read as before.
            return call_of(module, "_config", [&] {
                const auto slots = [&] { return list_of(table->slots, method_state); };
                const auto bump = [&] {
                    return table->fdm_vega_rho_bump ? new_float(*table->fdm_vega_rho_bump) : new_ref(Py_None);
                };
                if (table->solver_request) {
                    return tuple_of(slots, bump, [&] { return solver_state(*table->solver_request); });
                }
                if (!table->fdm_vega_rho_bump) return tuple_of(slots);
                return tuple_of(slots, bump);
            });
        }
        PyErr_Format(PyExc_TypeError, "zub_batch cannot reduce %R", reinterpret_cast<PyObject*>(Py_TYPE(o)));
        return nullptr;
    });
}

// ---------------------------------------------------------------------------
// Reconstructors

PyObject* rebuild(PyObject*, PyObject* args) { return guard([&] { return cook(args); }); }

PyObject* member_of(PyObject*, PyObject* path) {
    const int p = find_path(path, kFirstMember, kPathCount);
    if (p < 0) {
        PyErr_Format(PyExc_TypeError, "_member() needs the path of an enumeration member or day-count convention, not %R",
                     path);
        return nullptr;
    }
    return member(p);
}

// The option's expiry is an instant: days since 1970-01-01, second of the
// day, nanoseconds.
PyObject* option(PyObject*, PyObject* args) {
    return guard([&]() -> PyObject* {
        double strike;
        long long days, secs, nanos;
        PyObject *type, *style;
        if (!PyArg_ParseTuple(args, "dLLLOO:_option", &strike, &days, &secs, &nanos, &type, &style)) return nullptr;
        auto* t = value_if<zub::OptionType>(type);
        auto* s = value_if<zub::ExerciseStyle>(style);
        if (t == nullptr || s == nullptr) {
            PyErr_SetString(PyExc_TypeError, "_option() needs an OptionType and an ExerciseStyle");
            return nullptr;
        }
        const auto date = zub::Date::from_days(days);
        const bool fields = secs >= 0 && secs <= UINT32_MAX && nanos >= 0 && nanos <= UINT32_MAX;
        const auto expiry = date && fields ? zub::Instant::make(*date, static_cast<uint32_t>(secs),
                                                                static_cast<uint32_t>(nanos))
                                           : std::nullopt;
        if (!expiry) {
            PyErr_SetString(PyExc_ValueError, "_option(): invalid expiry instant");
            return nullptr;
        }
        return new_instance<zub::VanillaOption>(zub::VanillaOption{strike, *expiry, *t, *s});
    });
}

bool read_greeks(PyObject* vega, PyObject* rho, zub::Greeks& g) {
    return to_optional(vega, g.vega) && to_optional(rho, g.rho);
}

PyObject* result(PyObject*, PyObject* args) {
    return guard([&]() -> PyObject* {
        zub::OptionResult r;
        PyObject *vega, *rho;
        if (!PyArg_ParseTuple(args, "ddddOO:_result", &r.price, &r.greeks.delta, &r.greeks.gamma, &r.greeks.theta,
                              &vega, &rho) ||
            !read_greeks(vega, rho, r.greeks)) {
            return nullptr;
        }
        return new_instance<zub::OptionResult>(r);
    });
}

PyObject* greeks(PyObject*, PyObject* args) {
    return guard([&]() -> PyObject* {
        zub::Greeks g;
        PyObject *vega, *rho;
        if (!PyArg_ParseTuple(args, "dddOO:_greeks", &g.delta, &g.gamma, &g.theta, &vega, &rho) ||
            !read_greeks(vega, rho, g)) {
            return nullptr;
        }
        return new_instance<zub::Greeks>(g);
    });
}

// Calls obj.<name>() or obj.<name>(arg) for its effect.
bool call_method(PyObject* obj, const char* name, PyObject* arg = nullptr) {
    PyObject* r = arg != nullptr ? PyObject_CallMethod(obj, name, "(O)", arg) : PyObject_CallMethod(obj, name, nullptr);
    Py_XDECREF(r);
    return r != nullptr;
}

// Calls the policy's method for each member of `items` (OptionType or
// ExerciseStyle members), in order.
template <class E>
bool add_members(PyObject* policy, PyObject* items, const char* const (&methods)[2]) {
    PyObject* it = PyObject_GetIter(items);
    if (it == nullptr) return false;
    bool ok = true;
    while (PyObject* item = PyIter_Next(it)) {
        const E* e = value_if<E>(item);
        if (e == nullptr) PyErr_Format(PyExc_TypeError, "_policy() cannot use %R", item);
        ok = e != nullptr && call_method(policy, methods[static_cast<int>(*e)]);
        Py_DECREF(item);
        if (!ok) break;
    }
    Py_DECREF(it);
    return ok && !PyErr_Occurred();
}

// A new InstrumentPolicy with the given styles and types added in order and
// the method (kind, FdmConfig or None) set.
PyObject* new_policy(PyObject* styles, PyObject* types, PyObject* method) {
    static const char* const style_methods[2] = {"american", "european"};  // ExerciseStyle order
    static const char* const type_methods[2] = {"call", "put"};            // OptionType order
    PyObject *kind, *fdm;
    PyObject* tolerance = Py_None;
    if (!PyTuple_Check(method)) {
        PyErr_SetString(PyExc_TypeError, "_policy() needs the method as a (kind, fdm_config) tuple");
        return nullptr;
    }
    if (!PyArg_ParseTuple(method, "UO|O:_policy method", &kind, &fdm, &tolerance)) return nullptr;
    int k = 0;
    while (k < kMethodKindCount && PyUnicode_CompareWithASCIIString(kind, kMethodKinds[k]) != 0) ++k;
    if (k == kMethodKindCount) {
        PyErr_Format(PyExc_TypeError, "_policy(): unknown method %R", kind);
        return nullptr;
    }
    PyObject* policy = PyObject_CallNoArgs(resolved.target[kInstrumentPolicy]);
    if (policy == nullptr) return nullptr;
    const auto chosen = static_cast<zub::PricingMethod::Kind>(k);
    const auto set_method = [&] {
        switch (chosen) {
            case zub::PricingMethod::Kind::Unset:
                return true;
            case zub::PricingMethod::Kind::Analytic:
                return call_method(policy, "analytic");
            case zub::PricingMethod::Kind::Fdm:
                return call_method(policy, "fdm", fdm);
            case zub::PricingMethod::Kind::ExerciseBoundary:
                return call_method(policy, "exercise_boundary", tolerance);
        }
        return false;
    };
    const bool ok = add_members<zub::ExerciseStyle>(policy, styles, style_methods) &&
                    add_members<zub::OptionType>(policy, types, type_methods) && set_method();
    if (!ok) Py_CLEAR(policy);
    return policy;
}

PyObject* policy(PyObject*, PyObject* args) {
    return guard([&]() -> PyObject* {
        PyObject *styles, *types, *method;
        if (!PyArg_ParseTuple(args, "OOO:_policy", &styles, &types, &method)) return nullptr;
        return new_policy(styles, types, method);
    });
}

// A new Config whose four method slots (American call, American put,
// European call, European put) are set one by one by a policy naming that
// slot alone.
PyObject* config(PyObject*, PyObject* args) {
    return guard([&]() -> PyObject* {
        PyObject* list;
        PyObject* bump = Py_None;
        PyObject* solver = Py_None;
        if (!PyArg_ParseTuple(args, "O|OO:_config", &list, &bump, &solver)) return nullptr;
        if (solver != Py_None && !PyTuple_Check(solver)) {
            PyErr_SetString(PyExc_TypeError, "_config() needs the solver as a tuple of implied_vol_solver's arguments");
            return nullptr;
        }
        if (!PyList_Check(list) || PyList_Size(list) != 4) {
            PyErr_SetString(PyExc_TypeError, "_config() needs a list of four method slots");
            return nullptr;
        }
        // Making the policies runs Python code (a collection's finalizers)
        // that may change the list: the slots are read from a copy of it.
        const py::Ref slots = py::Ref::steal(PyList_AsTuple(list));
        if (!slots) return nullptr;
        PyObject* cfg = PyObject_CallNoArgs(resolved.target[kConfig]);
        for (Py_ssize_t i = 0; cfg != nullptr && i < 4; ++i) {
            PyObject* style = tuple_of([i] { return member(kAmerican + static_cast<int>(i / 2)); });
            PyObject* type = style != nullptr ? tuple_of([i] { return member(kCall + static_cast<int>(i % 2)); })
                                              : nullptr;
            PyObject* p = type != nullptr ? new_policy(style, type, PyTuple_GetItem(slots.get(), i)) : nullptr;
            const bool ok = p != nullptr && call_method(cfg, "add_policy", p);
            Py_XDECREF(style);
            Py_XDECREF(type);
            Py_XDECREF(p);
            if (!ok) Py_CLEAR(cfg);
        }
        if (cfg != nullptr && bump != Py_None && !call_method(cfg, "fdm_vega_rho", bump)) Py_CLEAR(cfg);
        if (cfg != nullptr && solver != Py_None) {
            const py::Ref fn = py::Ref::steal(PyObject_GetAttrString(cfg, "implied_vol_solver"));
            const py::Ref r = fn ? py::Ref::steal(PyObject_Call(fn.get(), solver, nullptr)) : py::Ref{};
            if (!r) Py_CLEAR(cfg);
        }
        return cfg;
    });
}

PyMethodDef reconstructors[] = {
    {"_rebuild", rebuild, METH_VARARGS, "_rebuild(path, *args)\n--\n\nCalls one of zub's constructors."},
    {"_member", member_of, METH_O, "_member(path)\n--\n\nOne of zub's class attributes."},
    {"_option", option, METH_VARARGS, "_option(strike, days, second, nanos, option_type, exercise_style)\n--\n\n"},
    {"_result", result, METH_VARARGS, "_result(price, delta, gamma, theta, vega, rho)\n--\n\n"},
    {"_greeks", greeks, METH_VARARGS, "_greeks(delta, gamma, theta, vega, rho)\n--\n\n"},
    {"_policy", policy, METH_VARARGS, "_policy(exercise_styles, option_types, method)\n--\n\n"},
    {"_config", config, METH_VARARGS, "_config(slots, vega_rho_bump=None, solver=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef reducer = {"_reduce", reduce, METH_O, nullptr};

}  // namespace
}  // namespace zub::batch

extern "C" int zub_batch_register_reducers(PyObject* module) {
    using namespace zub::batch;
    if (!load_zub_classes() || !resolve() || PyModule_AddFunctions(module, reconstructors) < 0) return -1;
    PyObject* name = PyModule_GetNameObject(module);
    PyObject* fn = name != nullptr ? PyCFunction_NewEx(&reducer, module, name) : nullptr;
    Py_XDECREF(name);
    PyObject* copyreg = fn != nullptr ? PyImport_ImportModule("copyreg") : nullptr;
    bool ok = copyreg != nullptr;
    for (PyTypeObject* ZubClasses::*cls :
         {&ZubClasses::compounding, &ZubClasses::day_count_convention, &ZubClasses::frequency,
          &ZubClasses::interest_rate, &ZubClasses::vanilla_option, &ZubClasses::option_market_frame, &ZubClasses::tenor,
          &ZubClasses::rate_curve, &ZubClasses::vol_surface, &ZubClasses::fdm_config, &ZubClasses::config,
          &ZubClasses::option_type, &ZubClasses::exercise_style, &ZubClasses::option_result, &ZubClasses::greeks,
          &ZubClasses::instrument_policy, &ZubClasses::dividend_schedule, &ZubClasses::transform_config}) {
        if (!ok) break;
        PyObject* r = PyObject_CallMethod(copyreg, "pickle", "OO", reinterpret_cast<PyObject*>(zub_classes().*cls), fn);
        ok = r != nullptr;
        Py_XDECREF(r);
    }
    Py_XDECREF(copyreg);
    Py_XDECREF(fn);
    return ok ? 0 : -1;
}
