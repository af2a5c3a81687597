#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef velq_module = {PyModuleDef_HEAD_INIT, "velq", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_velq(void) { return PyModuleDef_Init(&velq_module); }
