/* The agent's one growable text buffer: the dump's output (fd_output.h
 * builds on it) and the text report are written into it. */
#ifndef VANDREL_TEXT_BUFFER_H
#define VANDREL_TEXT_BUFFER_H

#include <stddef.h>

namespace vandrel {

struct text_buffer {
    char *data;
    size_t length;
    size_t capacity;
};

/* Make room for `needed` more bytes, doubling the storage (from `initial`
 * when there is none).  On success return true; when memory is short
 * return false and leave the buffer as it was. */
bool text_grow(text_buffer *text, size_t needed, size_t initial);

/* Append printf-style, growing as needed; out of memory, the piece is
 * dropped.  The text stays NUL-terminated. */
__attribute__((format(printf, 2, 3))) void text_appendf(text_buffer *text, const char *format,
                                                        ...);

}  // namespace vandrel

#endif /* VANDREL_TEXT_BUFFER_H */
