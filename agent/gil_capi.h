/* The CPython C API as the GIL interceptor reaches it: resolved at run time.
 *
 * The agent can be preloaded into processes that are not Python at all, so
 * it must not carry undefined references to interpreter symbols.  Every
 * function and object it uses is looked up with dlsym() the first time the
 * interceptor is switched on.  Only header-level facts (struct layouts,
 * inline field accesses without symbol references) come from Python.h. */
#ifndef VANDREL_GIL_CAPI_H
#define VANDREL_GIL_CAPI_H

#include <Python.h>

namespace vandrel {

struct python_api {
    int (*PyGILState_Check)(void);
    int (*Py_IsFinalizing)(void);
    PyGILState_STATE (*PyGILState_Ensure)(void);
    void (*PyGILState_Release)(PyGILState_STATE);
    PyThreadState *(*PyEval_SaveThread)(void);
    void (*PyEval_RestoreThread)(PyThreadState *);
    PyThreadState *(*PyThreadState_Get)(void);
    PyInterpreterState *(*PyInterpreterState_Get)(void);
    PyInterpreterState *(*PyInterpreterState_Main)(void);
    int (*PyCallable_Check)(PyObject *);
    void (*Py_IncRef)(PyObject *);
    void (*Py_DecRef)(PyObject *);
    PyObject *(*PyDict_New)(void);
    int (*PyDict_SetItem)(PyObject *, PyObject *, PyObject *);
    int (*PyDict_SetItemString)(PyObject *, const char *, PyObject *);
    PyObject *(*PyFloat_FromDouble)(double);
    PyObject *(*PyLong_FromLongLong)(long long);
    long long (*PyLong_AsLongLong)(PyObject *);
    PyObject *(*PyBool_FromLong)(long);
    PyObject *(*PyUnicode_DecodeUTF8)(const char *, Py_ssize_t, const char *);
    const char *(*PyUnicode_AsUTF8AndSize)(PyObject *, Py_ssize_t *);
    PyObject *(*PyObject_CallOneArg)(PyObject *, PyObject *);
    PyObject *(*PyObject_CallNoArgs)(PyObject *);
    PyObject *(*PyObject_Call)(PyObject *, PyObject *, PyObject *);
    PyObject *(*PyTuple_New)(Py_ssize_t);
    PyObject *(*PyObject_GetAttrString)(PyObject *, const char *);
    PyObject *(*PyObject_GetIter)(PyObject *);
    PyObject *(*PyIter_Next)(PyObject *);
    PyObject *(*PyImport_GetModule)(PyObject *);
    PyObject *(*PyImport_ImportModule)(const char *);
    PyObject *(*PyUnicode_FromString)(const char *);
    PyObject *(*PySys_GetObject)(const char *);
    PyObject *(*PyErr_Occurred)(void);
    void (*PyErr_Clear)(void);
    void (*PyErr_WriteUnraisable)(PyObject *);
    PyObject *(*PyCMethod_New)(PyMethodDef *, PyObject *, PyObject *, PyTypeObject *);
    PyObject *none;               /* the None singleton */
    const unsigned long *version; /* Py_Version of the running interpreter */
};

/* The table filled by load_python_api(); read-only once loaded. */
extern python_api py;

/* Resolve every entry of `py` in the running process.
 *
 * On success return true; later calls return the first result at once.
 * On failure (not a Python process, or an interpreter lacking one of the
 * symbols) return false and leave the table unusable. */
bool load_python_api();

}  // namespace vandrel

#endif /* VANDREL_GIL_CAPI_H */
