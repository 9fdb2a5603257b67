// The companion module zub_batch.
#include "pickle.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "zub_batch", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_zub_batch(void) {
    PyObject* m = PyModule_Create(&module_def);
    if (m == nullptr) return nullptr;
    if (zub_batch_register_reducers(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
