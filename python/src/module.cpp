// Module initialisation: one module object per process, the classes
// registered in a fixed order, sub-interpreters refused.
#include <atomic>

#include <string_view>

#include "registry.hpp"

namespace zub::py {
namespace {

// No per-module state; a size of 0 (not -1) makes a re-import after the
// entry left sys.modules call the init function again, which hands back
// the one module object of the process.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "zub", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

std::atomic<int64_t> first_interpreter{-1};
PyObject* the_module = nullptr;

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

constexpr Registration registrations[] = {
    {"Compounding", type_Compounding},
    {"DayCountConvention", type_DayCountConvention},
    {"Frequency", type_Frequency},
    {"InterestRate", type_InterestRate},
    {"VanillaOption", type_VanillaOption},
    {"OptionMarketFrame", type_OptionMarketFrame},
    {"Tenor", type_Tenor},
    {"RateCurve", type_RateCurve},
    {"VolSurface", type_VolSurface},
    {"FdmConfig", type_FdmConfig},
    {"Config", type_Config},
    {"OptionType", type_OptionType},
    {"ExerciseStyle", type_ExerciseStyle},
    {"ValuationBuilder", type_ValuationBuilder},
    {"OptionResult", type_OptionResult},
    {"Greeks", type_Greeks},
    {"InstrumentPolicy", type_InstrumentPolicy},
    {"PeriodCalculator", type_PeriodCalculator},
    {"DividendSchedule", type_DividendSchedule},
    {"TransformConfig", type_TransformConfig},
};

// The module registers the registry's classes, in its order.
constexpr bool registers_the_registry() {
    if (std::size(registrations) != kClassCount) return false;
    for (std::size_t i = 0; i < kClassCount; ++i) {
        if (std::string_view(registrations[i].name) != kClassNames[i]) return false;
    }
    return true;
}
static_assert(registers_the_registry(), "zub registers the classes of registry.hpp, in its order");

// Appends the name to __all__ (creating it when missing) and binds the type.
bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
        return false;
    }
    Ref pyname = Ref::steal(PyUnicode_FromString(name));
    return pyname && PyList_Append(all.get(), pyname.get()) == 0 &&
           PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    // API version 3, the stable interface's, which every interpreter from
    // 3.2 on accepts without a warning.
    Ref m = Ref::steal(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
    if (!m) return nullptr;
    for (const Registration& r : registrations) {
        PyTypeObject* t = r.type();
        if (t == nullptr || !add_class(m.get(), r.name, t)) return nullptr;
    }
    return m.release();
}

PyObject* init() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const int64_t id = interp != nullptr ? PyInterpreterState_GetID(interp) : -1;
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "zub does not support sub-interpreters: it can only be imported once per process, in the main interpreter");
        return nullptr;
    }
    // A failed attempt leaves the record empty so that a later import tries
    // again.  Making the classes can run Python code (a collection's
    // finalizers) that lets another thread in to make a module as well: the
    // first one stored is kept and handed to both.
    if (the_module == nullptr) {
        Ref made = Ref::steal(create_module());
        if (!made) return nullptr;
        if (the_module == nullptr) the_module = made.release();
    }
    return Ref::borrow(the_module).release();
}

}  // namespace
}  // namespace zub::py

extern "C" PyMODINIT_FUNC PyInit_zub(void) {
    return zub::py::guarded<PyObject*>(nullptr, [] { return zub::py::init(); });
}
