/* lockgauge: switch the agent's GIL interceptor on and off.
 *
 * The module does no interception itself.  Its init entry resolves the
 * agent's init_py_gil_interceptor and deinit_py_gil_interceptor, and each
 * Python call is forwarded to them on the calling thread, GIL held, with
 * the agent's status handed back.  Nothing is ever raised: a missing entry
 * point or arguments that do not parse give -1. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "free_threading.h"
#include "symbol.h"

namespace {

typedef int32_t (*init_py_gil_interceptor_t)(PyObject *sink, int64_t, int64_t,
                                             int32_t, int32_t, int32_t, int32_t);
typedef int32_t (*deinit_py_gil_interceptor_t)(void);

/* Set once by PyInit_lockgauge; null when the lookup failed. */
init_py_gil_interceptor_t init_func = nullptr;
deinit_py_gil_interceptor_t deinit_func = nullptr;

/* init_gil_interceptor(obj, i64, i64, i32, i32, i32, i32) -> int
 *
 * With the entry point missing, return -1 without looking at the arguments.
 * On a parse failure clear the parser's error and return -1.  Otherwise
 * return the agent's status. */
PyObject *init_gil_interceptor(PyObject * /*module*/, PyObject *args)
{
    if (init_func == nullptr) {
        return Py_BuildValue("i", -1);
    }
    PyObject *sink = nullptr;
    long long a = 0, b = 0;
    int c = 0, d = 0, e = 0, f = 0;
    if (!PyArg_ParseTuple(args, "OLLiiii", &sink, &a, &b, &c, &d, &e, &f)) {
        PyErr_Clear();
        return Py_BuildValue("i", -1);
    }
    int32_t status = init_func(sink, a, b, c, d, e, f);
    return Py_BuildValue("i", status);
}

/* deinit_gil_interceptor(*ignored) -> int
 *
 * Any positional arguments are ignored.  Return -1 when the entry point is
 * missing, otherwise the agent's status. */
PyObject *deinit_gil_interceptor(PyObject * /*module*/, PyObject * /*args*/)
{
    if (deinit_func == nullptr) {
        return Py_BuildValue("i", -1);
    }
    int32_t status = deinit_func();
    return Py_BuildValue("i", status);
}

PyMethodDef lockgauge_methods[] = {
    {"init_gil_interceptor", init_gil_interceptor, METH_VARARGS, "init gil interceptor"},
    {"deinit_gil_interceptor", deinit_gil_interceptor, METH_VARARGS, "deinit gil interceptor"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef lockgauge_module = {
    PyModuleDef_HEAD_INIT,
    "lockgauge",
    nullptr,           /* m_doc */
    -1,                /* m_size: no module state */
    lockgauge_methods,
    nullptr,           /* m_slots */
    nullptr,           /* m_traverse */
    nullptr,           /* m_clear */
    nullptr,           /* m_free */
};

}  // namespace

/* Both lookups always run, in this order; a failed one leaves its pointer
 * null and a line on stderr but never fails the import. */
PyMODINIT_FUNC PyInit_lockgauge(void)
{
    init_func = reinterpret_cast<init_py_gil_interceptor_t>(
        get_symbol_addr("init_py_gil_interceptor"));
    deinit_func = reinterpret_cast<deinit_py_gil_interceptor_t>(
        get_symbol_addr("deinit_py_gil_interceptor"));
    return declare_gil_not_used(PyModule_Create2(&lockgauge_module, 1013));
}
