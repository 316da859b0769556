/* A frame's line in the dump, and the text in it: file and code names
 * escaped so that every field stays on its line and inside its quotes. */
#include "dump/dump.h"

#include "cpython/str_view.h"
#include "text/utf8.h"

namespace vandrel {
namespace dump {

namespace {

/* Append one code point by the agent's escape rule (text/utf8.h), as a
 * field inside double quotes. */
inline void append_code_point(fd_output *out, Py_UCS4 ch)
{
    char bytes[max_escaped_size];
    fd_output_append(out, bytes, encode_escaped(ch, true, bytes));
}

}  // namespace

/* Append a str object escaped as above, or "???" for anything else. */
void append_text(const dump_context *ctx, PyObject *text)
{
    fd_output *out = ctx->out;
    if (!is_unicode(ctx->api, text)) {
        fd_output_append(out, "???", 3);
        return;
    }
#ifdef VANDREL_FRAME_READER
    /* Same layout as compiled: read the characters in place.  Where the
     * interpreter still has legacy strings, one may lack its compact form;
     * code names and file names never do, but str_in_place() checks. */
    str_view view;
    if (ctx->api->direct_access && str_in_place(text, &view)) {
        Py_ssize_t length = view.length;
        if (view.ascii) {
            const unsigned char *chars = static_cast<const unsigned char *>(view.data);
            Py_ssize_t plain = 0;
            while (plain < length && !needs_escape(chars[plain], true)) {
                plain++;
            }
            fd_output_append(out, reinterpret_cast<const char *>(chars),
                             static_cast<size_t>(plain));
            for (Py_ssize_t i = plain; i < length; i++) {
                append_code_point(out, chars[i]);
            }
            return;
        }
        for (Py_ssize_t i = 0; i < length; i++) {
            append_code_point(out, str_at(&view, i));
        }
        return;
    }
#endif
    const python_api *api = ctx->api;
    Py_ssize_t length = api->unicode_get_length(text);
    if (length < 0) {
        api->err_clear();
        fd_output_append(out, "???", 3);
        return;
    }
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 ch = api->unicode_read_char(text, i);
        if (ch == static_cast<Py_UCS4>(-1)) {
            api->err_clear();
            break;
        }
        append_code_point(out, ch);
    }
}

/* ---- frame lines --------------------------------------------------- */

/* Append `  File "path", line N in name` and a newline. */
void append_frame_line(const dump_context *ctx, PyObject *filename, int line, PyObject *name)
{
    fd_output *out = ctx->out;
    fd_output_append_literal(out, "  File \"");
    append_text(ctx, filename);
    fd_output_append_literal(out, "\", line ");
    if (line >= 0) {
        fd_output_append_decimal(out, static_cast<uint64_t>(line));
    }
    else {
        fd_output_append(out, "???", 3);
    }
    fd_output_append_literal(out, " in ");
    append_text(ctx, name);
    fd_output_append(out, "\n", 1);
}

}  // namespace dump
}  // namespace vandrel
