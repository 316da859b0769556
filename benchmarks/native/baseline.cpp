/* The least a binding can do: the same METH_VARARGS parse and a call
 * through a function pointer, with nothing else around it. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

namespace {

int32_t noop_init(PyObject *, int64_t, int64_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
void noop_dump(int32_t, int64_t) {}

int32_t (*volatile init_ptr)(PyObject *, int64_t, int64_t, int32_t, int32_t, int32_t,
                             int32_t) = noop_init;
void (*volatile dump_ptr)(int32_t, int64_t) = noop_dump;

PyObject *init(PyObject *, PyObject *args)
{
    PyObject *sink;
    long long a, b;
    int c, d, e, f;
    if (!PyArg_ParseTuple(args, "OLLiiii", &sink, &a, &b, &c, &d, &e, &f)) {
        PyErr_Clear();
        return Py_BuildValue("i", -1);
    }
    return Py_BuildValue("i", init_ptr(sink, a, b, c, d, e, f));
}

PyObject *dump(PyObject *, PyObject *args)
{
    int fd;
    long long frames;
    if (!PyArg_ParseTuple(args, "iL", &fd, &frames)) {
        PyErr_Clear();
        return Py_BuildValue("i", -1);
    }
    dump_ptr(fd, frames);
    return Py_BuildValue("i", 0);
}

PyMethodDef methods[] = {
    {"init", init, METH_VARARGS, nullptr},
    {"dump", dump, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "baseline", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_baseline(void)
{
    return PyModule_Create(&module);
}
