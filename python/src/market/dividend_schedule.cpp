// DividendSchedule: (ex-date, amount) pairs read in two phases.
#include <vector>

#include "types.hpp"

namespace zub::py {
namespace {

// Phase 1: every element a 2-tuple, amounts converted.  Ex-dates are kept
// unexamined.
bool read_pairs(PyObject* raw, std::vector<Ref>& dates, std::vector<double>& amounts) {
    return for_each_in_sequence(
        raw, "raw_divs",
        [&](std::size_t n) {
            dates.reserve(n);
            amounts.reserve(n);
        },
        [&](PyObject* item) {
            if (!PyTuple_Check(item)) {
                set_cast_error(item, "raw_divs", "tuple");
                return false;
            }
            const Py_ssize_t len = PyTuple_Size(item);
            if (len != 2) {
                PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
                return false;
            }
            double amount;
            if (!to_double(PyTuple_GetItem(item, 1), "raw_divs", amount)) return false;
            dates.push_back(Ref::borrow(PyTuple_GetItem(item, 0)));
            amounts.push_back(amount);
            return true;
        });
}

// Phase 2: each ex-date a timezone-aware datetime, stored in UTC.
bool ex_date(PyObject* o, zub::Instant& out) {
    PyObject* type = datetime_type();
    const int is_dt = type ? PyObject_IsInstance(o, type) : -1;
    if (is_dt < 0) return false;
    if (is_dt == 0) {
        return fail(PyExc_TypeError, "Ex-dates must be timezone-aware datetime objects. Plain dates are rejected.");
    }
    Ref off = Ref::steal(PyObject_CallMethod(o, "utcoffset", nullptr));
    if (!off) return false;
    if (off.get() == Py_None) {
        return fail(PyExc_ValueError, "Datetime must be timezone-aware (e.g., use New York or UTC time).");
    }
    return to_utc_instant(o, out);
}

const char* const kScheduleParams[] = {"raw_divs"};
constexpr Signature kScheduleSig{"DividendSchedule.__new__", kScheduleParams, 1, 1};

// Written by hand: every pair's shape and amount is checked before any
// ex-date is converted.
PyObject* schedule_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* p[1] = {};
        std::vector<Ref> dates;
        std::vector<double> amounts;
        if (!bind(kScheduleSig, args, kwargs, p) || !read_pairs(p[0], dates, amounts)) return nullptr;
        auto records = std::make_shared<std::vector<zub::Dividend>>();
        records->reserve(amounts.size());
        for (std::size_t i = 0; i < amounts.size(); ++i) {
            zub::Instant when;
            if (!ex_date(dates[i].get(), when)) return nullptr;
            records->push_back(zub::Dividend{when, amounts[i]});
        }
        return new_box<DividendList>(type, std::move(records));
    });
}

}  // namespace

PyTypeObject* type_DividendSchedule() {
    return once([] {
        return make_class<DividendList>(
            {.name = "builtins.DividendSchedule", .init = {schedule_new, text_signature(kScheduleSig, false)}});
    });
}

}  // namespace zub::py
