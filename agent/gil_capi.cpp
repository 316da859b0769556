#include "gil_capi.h"

#include <dlfcn.h>

namespace vandrel {

python_api py;

namespace {

/* 0: not tried yet, 1: loaded, -1: failed.  Only touched with the GIL
 * held, by the interceptor's entry points. */
int load_state = 0;

/* Look `name` up in the global scope of the process.  On success store the
 * address in *slot and return true; otherwise return false. */
template <typename T> bool resolve(T *slot, const char *name)
{
    void *address = dlsym(RTLD_DEFAULT, name);
    if (address == nullptr) {
        return false;
    }
    *slot = reinterpret_cast<T>(address);
    return true;
}

}  // namespace

bool load_python_api()
{
    if (load_state != 0) {
        return load_state > 0;
    }
#define RESOLVE(field) resolve(&py.field, #field)
    bool ok = RESOLVE(PyGILState_Check) && RESOLVE(Py_IsFinalizing) && RESOLVE(PyGILState_Ensure) &&
              RESOLVE(PyGILState_Release) && RESOLVE(PyEval_SaveThread) &&
              RESOLVE(PyEval_RestoreThread) && RESOLVE(PyThreadState_Get) &&
              RESOLVE(PyInterpreterState_Get) && RESOLVE(PyInterpreterState_Main) &&
              RESOLVE(PyCallable_Check) && RESOLVE(Py_IncRef) && RESOLVE(Py_DecRef) &&
              RESOLVE(PyDict_New) && RESOLVE(PyDict_SetItem) && RESOLVE(PyDict_SetItemString) &&
              RESOLVE(PyFloat_FromDouble) && RESOLVE(PyLong_FromLongLong) &&
              RESOLVE(PyLong_AsLongLong) && RESOLVE(PyBool_FromLong) &&
              RESOLVE(PyUnicode_DecodeUTF8) && RESOLVE(PyUnicode_AsUTF8AndSize) &&
              RESOLVE(PyObject_CallOneArg) && RESOLVE(PyObject_CallNoArgs) &&
              RESOLVE(PyObject_Call) && RESOLVE(PyTuple_New) &&
              RESOLVE(PyObject_GetAttrString) && RESOLVE(PyObject_GetIter) &&
              RESOLVE(PyIter_Next) && RESOLVE(PyImport_GetModule) &&
              RESOLVE(PyImport_ImportModule) && RESOLVE(PyUnicode_FromString) &&
              RESOLVE(PySys_GetObject) && RESOLVE(PyErr_Occurred) && RESOLVE(PyErr_Clear) &&
              RESOLVE(PyErr_WriteUnraisable) && RESOLVE(PyCMethod_New) &&
              resolve(&py.none, "_Py_NoneStruct") && resolve(&py.version, "Py_Version");
#undef RESOLVE
    load_state = ok ? 1 : -1;
    return ok;
}

}  // namespace vandrel
