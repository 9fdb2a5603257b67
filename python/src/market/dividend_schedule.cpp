// DividendSchedule: (ex-date, amount) pairs read in two phases.
#include <vector>

#include "datetime_conv.hpp"
#include "types.hpp"

namespace zub::py {
namespace {

// Owned references to the ex-date objects between the two phases.
struct OwnedRefs {
    std::vector<PyObject*> refs;
    ~OwnedRefs() {
        for (PyObject* o : refs) release_owned(o);
    }
};

// Phase 1: every element a 2-tuple, amounts converted.  Ex-dates are kept
// unexamined.
bool read_pairs(PyObject* raw, OwnedRefs& dates, std::vector<double>& amounts) {
    return for_each_in_sequence(
        raw, "raw_divs",
        [&](std::size_t n) {
            dates.refs.reserve(n);
            amounts.reserve(n);
        },
        [&](PyObject* item) {
            if (!PyTuple_Check(item)) {
                set_arg_cast_error(item, "raw_divs", "tuple");
                return false;
            }
            const Py_ssize_t len = PyTuple_Size(item);
            if (len != 2) {
                PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
                return false;
            }
            double amount;
            if (!to_double(PyTuple_GetItem(item, 1), "raw_divs", amount)) return false;
            PyObject* date = PyTuple_GetItem(item, 0);
            Py_INCREF(date);
            dates.refs.push_back(date);
            amounts.push_back(amount);
            return true;
        });
}

// Phase 2: each ex-date a timezone-aware datetime, stored in UTC.
bool ex_date(PyObject* o, zub::Instant& out) {
    PyObject* type = datetime_type();
    if (type == nullptr) return false;
    const int is_dt = PyObject_IsInstance(o, type);
    if (is_dt < 0) return false;
    if (is_dt == 0) {
        PyErr_SetString(PyExc_TypeError,
                        "Ex-dates must be timezone-aware datetime objects. Plain dates are rejected.");
        return false;
    }
    PyObject* off = PyObject_CallMethod(o, "utcoffset", nullptr);
    if (off == nullptr) return false;
    const bool naive = off == Py_None;
    Py_DECREF(off);
    if (naive) {
        PyErr_SetString(PyExc_ValueError, "Datetime must be timezone-aware (e.g., use New York or UTC time).");
        return false;
    }
    return to_utc_instant(o, out);
}

PyObject* schedule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"raw_divs"};
        static const Signature sig{"DividendSchedule.__new__", names, 1, 1};
        Params<1> p;
        if (!bind(sig, args, kwargs, p.v)) return nullptr;
        OwnedRefs dates;
        std::vector<double> amounts;
        if (!read_pairs(p[0], dates, amounts)) return nullptr;
        auto records = std::make_shared<std::vector<zub::Dividend>>();
        records->reserve(amounts.size());
        for (std::size_t i = 0; i < amounts.size(); ++i) {
            zub::Instant when;
            if (!ex_date(dates.refs[i], when)) return nullptr;
            records->push_back(zub::Dividend{when, amounts[i]});
        }
        return new_box<DividendList>(type, std::move(records));
    });
}

}  // namespace

PyTypeObject* type_DividendSchedule() {
    static PyTypeObject* type = nullptr;
    return once_type(type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(schedule_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DividendList>)},
            {Py_tp_doc, const_cast<char*>("DividendSchedule(raw_divs)\n--\n\n")},
            {0, nullptr},
        };
        static PyType_Spec spec = {"builtins.DividendSchedule", sizeof(Box<DividendList>), 0, Py_TPFLAGS_DEFAULT,
                                   slots};
        return make_type(&spec);
    });
}

PyObject* wrap_dividends(DividendList d) {
    PyTypeObject* t = type_DividendSchedule();
    return t ? new_box<DividendList>(t, std::move(d)) : nullptr;
}

}  // namespace zub::py
