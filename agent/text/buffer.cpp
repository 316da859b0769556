#include "text/buffer.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace vandrel {

bool text_grow(text_buffer *text, size_t needed, size_t initial)
{
    if (text->capacity - text->length >= needed) {
        return true;
    }
    size_t capacity = text->capacity > 0 ? text->capacity : initial;
    while (capacity - text->length < needed) {
        capacity *= 2;
    }
    char *grown = static_cast<char *>(realloc(text->data, capacity));
    if (grown == nullptr) {
        return false;
    }
    text->data = grown;
    text->capacity = capacity;
    return true;
}

void text_appendf(text_buffer *text, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    size_t wanted = 1;
    while (text_grow(text, wanted, 4096)) {
        size_t room = text->capacity - text->length;
        va_list attempt;
        va_copy(attempt, args);
        /* clang-14's analyzer loses track of va_copy inside a loop. */
        int needed = vsnprintf(text->data + text->length, room, format, attempt);  // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(attempt);
        if (needed < 0) {
            break;
        }
        if (static_cast<size_t>(needed) < room) {
            text->length += static_cast<size_t>(needed);
            break;
        }
        wanted = static_cast<size_t>(needed) + 1;
    }
    va_end(args);
}

}  // namespace vandrel
