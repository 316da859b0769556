/* Reading a str object's characters in place: no allocation, no Python
 * code, safe wherever the object stays alive.  Valid only in the version
 * built against (python_api's direct_access). */
#ifndef VANDREL_CPYTHON_STR_VIEW_H
#define VANDREL_CPYTHON_STR_VIEW_H

#include "cpython/frame_reader.h"

namespace vandrel {

#ifdef VANDREL_FRAME_READER

struct str_view {
    const void *data;
    Py_ssize_t length;
    int kind;
    bool ascii; /* one byte per character, all below 0x80 */
};

/* Look at `text`, an exact or derived str.  Return false when it cannot be
 * read in place: a legacy string not made ready (code names and file
 * names never are one, but check). */
inline bool str_in_place(PyObject *text, str_view *out)
{
#if VANDREL_PY_HAS_LEGACY_STR
    if (!PyUnicode_IS_READY(text)) {
        return false;
    }
#endif
    out->data = PyUnicode_DATA(text);
    out->length = PyUnicode_GET_LENGTH(text);
    out->kind = PyUnicode_KIND(text);
    out->ascii = PyUnicode_IS_ASCII(text);
    return true;
}

inline Py_UCS4 str_at(const str_view *view, Py_ssize_t index)
{
    return PyUnicode_READ(view->kind, view->data, index);
}

#endif /* VANDREL_FRAME_READER */

}  // namespace vandrel

#endif /* VANDREL_CPYTHON_STR_VIEW_H */
