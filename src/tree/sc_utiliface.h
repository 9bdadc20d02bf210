// String and number helpers of the tree code. Strings are NUL-terminated;
// every newly allocated result comes from mem_malloc_ex and is freed by the
// caller with mem_free_ex. None of these functions keeps a lock; the ones
// with static buffers are not reentrant (callers hold the tree's lock).
#ifndef TARVI_SC_UTILIFACE_H
#define TARVI_SC_UTILIFACE_H

#include <cstddef>
#include <string>

#include "libtarvi.h"
#include "list.h"

// Size of each static result buffer of sc_util_replace and sc_util_replaceIndex.
#define SC_UTIL_STATIC_BUF_SIZE 4096
// A buffer for sc_util_itoa / sc_util_utoa holds at least this many bytes.
#define SC_UTIL_NUM_BUF_SIZE 12

// Removes leading and trailing space, tab, CR and LF in place; a text of only
// those becomes empty. Returns `s`; a null `s` is reported as a bug.
char *sc_util_trim(char *s);
// The same trimming of a copy of `s`, for code that parses with std::string.
std::string sc_util_trimmed(const std::string &s);

// `st` with its first `orig` replaced by `repl`: `st` itself when `orig` does
// not occur (or is empty), else one of two static buffers that the second
// call after this one overwrites. Null when an argument is null or the
// result would not fit in SC_UTIL_STATIC_BUF_SIZE - 1 characters.
char *sc_util_replace(char *st, const char *orig, const char *repl);

// A new string with every `substr` replaced by `replacement`, scanning left
// to right and going on after each inserted replacement. A null or empty
// `substr` or a null `replacement` gives a plain copy. Null for a null
// `string` or when memory is short.
char *sc_util_replace_all(const char *string, const char *substr, const char *replacement);

// The number of occurrences of `substr`, overlapping ones included; -1 when
// either argument is null or `substr` is empty.
int sc_util_strtok_str(const char *string, const char *substr);

// Ends `dst` at `dst[n]`, then copies at most `n` characters of `src`;
// `dst` must hold n + 1 bytes. Returns `dst`.
char *sc_util_strncpy(char *dst, const char *src, size_t n);

// ASCII case-insensitive comparison (only 'a' to 'z' are folded): -1, 0 or 1.
int sc_util_stricmp(const char *a, const char *b);
int sc_util_strnicmp(const char *a, const char *b, size_t n);

// Decimal text to int: leading white space, an optional '-', digits up to the
// first other character. Saturates to 2147483647 (whatever the sign) once the
// value read exceeds 214748364 before another digit, and for any magnitude
// beyond the 32-bit range; "-2147483648" is read exactly.
int sc_util_atoi(const char *str);

// Decimal text of `n` into `str` (SC_UTIL_NUM_BUF_SIZE bytes). Returns `str`.
char *sc_util_itoa(int n, char *str);
char *sc_util_utoa(unsigned int n, char *str);

// Cuts, in place, the last component and the '/' before it; a text without
// '/' keeps only its first character. Returns `str`.
char *sc_util_previous_directory(char *str);

// Cuts, in place, everything after the last "-1"; a text without "-1" keeps
// only its first character. Returns `str`.
char *sc_util_previous_inst(char *str);

// A new copy of `string`, or null for a null argument or short memory.
char *sc_util_strdup(const char *string);

// `st` with placeholders filled from the replace list (ReplaceType entries,
// outermost level first): for entry k the first "$k" becomes the entry's text
// and, when the text being filled contains '#', the first "#k" becomes the
// entry's number minus 1. The result lives in one of two static buffers;
// callers copy it at once. Null for a null `st` or a result that would not fit.
char *sc_util_replaceIndex(const char *st, struct list *replace_list);

// Thin wrappers of the standard functions.
void *sc_util_memset(void *s, int c, size_t n);
void *sc_util_memcpy(void *dst, const void *src, size_t n);
void *sc_util_memmove(void *dst, const void *src, size_t n);
int sc_util_memcmp(const void *a, const void *b, size_t n);
size_t sc_util_strlen(const char *s);
char *sc_util_strcpy(char *dst, const char *src);
int sc_util_strcmp(const char *a, const char *b);
int sc_util_strncmp(const char *a, const char *b, size_t n);
char *sc_util_strcat(char *dst, const char *src);
char *sc_util_strncat(char *dst, const char *src, size_t n);
char *sc_util_strchr(const char *s, int c);
char *sc_util_strrchr(const char *s, int c);
char *sc_util_strstr(const char *haystack, const char *needle);
int sc_util_toupper(int c);
int sc_util_isspace(int c);
int sc_util_isdigit(int c);

// Case-insensitive search of `str2` in `str1`: `str1` for an empty `str2`,
// null for null arguments or an empty `str1`.
char *sc_util_stristr(const char *str1, const char *str2);

// *n = 1 for "true", "1", "yes", "on", "positive" (any case), else 0; 0.
// -1 for a null `n`, -2 for a null `str`.
int sc_util_atob(int *n, const char *str);

// Writes "true" or "false" into `str` (6 bytes). Returns 0, -1 for a null `str`.
int sc_util_btoa(int n, char *str);

// Hexadecimal text (no "0x", either case) after white space, up to the first
// other character; wraps modulo 2^32.
int sc_util_xatoi(const char *hex_str);

// Upper-case hexadecimal text without leading zeros ("0" for zero) into
// `hex_str` (9 bytes). Returns `hex_str`.
char *sc_util_uitoxa(unsigned int intval, char *hex_str);

// The two upper-case hex digits of `hex_value` and a NUL into `dest` (3
// bytes). Returns the position of the NUL.
char *sc_hex_to_ascii(u_8 hex_value, char *dest);

// 0..15 for a hex digit, 15 for any other character.
u_8 sc_util_CharToNibble(char c);

// 1 when `filename` opens for reading, else 0.
int sc_util_file_exists(const char *filename);

#endif
