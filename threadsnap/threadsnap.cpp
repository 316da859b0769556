/* threadsnap: ask the agent to dump the stacks of all threads.
 *
 * The init entry resolves the agent's dump_threads and publishes its
 * address in the exported data symbol dump_threads_function.  Each call is
 * forwarded on the calling thread, GIL held.  Nothing is ever raised:
 * arguments that do not parse or a missing entry point give -1. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "free_threading.h"
#include "symbol.h"

typedef void (*dump_threads_t)(int32_t fd, int64_t max_frames);

/* Exported so that native code in the process can reach the agent's dump
 * routine through this module without going through Python. */
extern "C" __attribute__((visibility("default"))) dump_threads_t dump_threads_function;
dump_threads_t dump_threads_function = nullptr;

namespace {

/* dump_all_threads_stack(i32, i64) -> int
 *
 * Parse first; on a parse failure clear the parser's error and return -1.
 * Return -1 without calling anything when the entry point is missing,
 * otherwise forward both values and return 0. */
PyObject *dump_all_threads_stack(PyObject * /*module*/, PyObject *args)
{
    int fd = 0;
    long long max_frames = 0;
    if (!PyArg_ParseTuple(args, "iL", &fd, &max_frames)) {
        PyErr_Clear();
        return Py_BuildValue("i", -1);
    }
    if (dump_threads_function == nullptr) {
        return Py_BuildValue("i", -1);
    }
    dump_threads_function(fd, max_frames);
    return Py_BuildValue("i", 0);
}

PyMethodDef threadsnap_methods[] = {
    {"dump_all_threads_stack", dump_all_threads_stack, METH_VARARGS, "dump all thread stack"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef threadsnap_module = {
    PyModuleDef_HEAD_INIT,
    "threadsnap",
    nullptr,           /* m_doc */
    -1,                /* m_size: no module state */
    threadsnap_methods,
    nullptr,           /* m_slots */
    nullptr,           /* m_traverse */
    nullptr,           /* m_clear */
    nullptr,           /* m_free */
};

}  // namespace

/* A failed lookup leaves dump_threads_function null and a line on stderr
 * but never fails the import. */
PyMODINIT_FUNC PyInit_threadsnap(void)
{
    dump_threads_function = reinterpret_cast<dump_threads_t>(get_symbol_addr("dump_threads"));
    return declare_gil_not_used(PyModule_Create2(&threadsnap_module, 1013));
}
