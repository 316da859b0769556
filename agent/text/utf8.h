/* The agent's one UTF-8 encoder and one escape rule, for the dump's
 * fields, the text report's names and the stacks of long holds.
 *
 * The rule: control characters (below 0x20, and 0x7f) are written \xNN
 * and a backslash is doubled, so that every field stays on its line; a
 * field written inside double quotes also escapes the quote (\"), and a
 * lone surrogate, which UTF-8 cannot carry, is written \uXXXX. */
#ifndef VANDREL_TEXT_UTF8_H
#define VANDREL_TEXT_UTF8_H

#include <stddef.h>
#include <stdint.h>

namespace vandrel {

/* Room encode_escaped() may need for one code point. */
const size_t max_escaped_size = 6;

/* Write code point `ch` (not a surrogate, at most 0x10ffff) as UTF-8 to
 * `out`, which has room for 4 bytes.  Return the number of bytes. */
inline size_t utf8_encode(uint32_t ch, char *out)
{
    if (ch < 0x80) {
        out[0] = static_cast<char>(ch);
        return 1;
    }
    if (ch < 0x800) {
        out[0] = static_cast<char>(0xc0 | (ch >> 6));
        out[1] = static_cast<char>(0x80 | (ch & 0x3f));
        return 2;
    }
    if (ch < 0x10000) {
        out[0] = static_cast<char>(0xe0 | (ch >> 12));
        out[1] = static_cast<char>(0x80 | ((ch >> 6) & 0x3f));
        out[2] = static_cast<char>(0x80 | (ch & 0x3f));
        return 3;
    }
    out[0] = static_cast<char>(0xf0 | (ch >> 18));
    out[1] = static_cast<char>(0x80 | ((ch >> 12) & 0x3f));
    out[2] = static_cast<char>(0x80 | ((ch >> 6) & 0x3f));
    out[3] = static_cast<char>(0x80 | (ch & 0x3f));
    return 4;
}

inline bool is_surrogate(uint32_t ch)
{
    return ch >= 0xd800 && ch <= 0xdfff;
}

/* Whether `ch` is written as an escape rather than as itself (a lone
 * surrogate aside: see encode_escaped).  `quoted`: inside double quotes. */
inline bool needs_escape(uint32_t ch, bool quoted)
{
    return ch < 0x20 || ch == 0x7f || ch == '\\' || (quoted && ch == '"');
}

/* Write `ch` to `out` (room for max_escaped_size bytes) by the rule above:
 * its escape, or its UTF-8.  Return the number of bytes. */
inline size_t encode_escaped(uint32_t ch, bool quoted, char *out)
{
    static const char hex[] = "0123456789abcdef";
    if (ch == '\\' || (quoted && ch == '"')) {
        out[0] = '\\';
        out[1] = static_cast<char>(ch);
        return 2;
    }
    if (ch < 0x20 || ch == 0x7f) {
        out[0] = '\\';
        out[1] = 'x';
        out[2] = hex[(ch >> 4) & 0xf];
        out[3] = hex[ch & 0xf];
        return 4;
    }
    if (is_surrogate(ch)) {
        out[0] = '\\';
        out[1] = 'u';
        for (int shift = 12, i = 2; shift >= 0; shift -= 4, i++) {
            out[i] = hex[(ch >> shift) & 0xf];
        }
        return 6;
    }
    return utf8_encode(ch, out);
}

}  // namespace vandrel

#endif /* VANDREL_TEXT_UTF8_H */
