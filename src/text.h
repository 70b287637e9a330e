// Small text helpers shared inside the library.
#ifndef TARVIK_TEXT_H
#define TARVIK_TEXT_H

#include <cstddef>
#include <cstring>

// A null text reads as an empty one.
inline const char *or_empty(const char *text) {
    return text != nullptr ? text : "";
}

// Copies at most max characters of src, stopping at its end, and terminates
// dst, which must hold max + 1 bytes. Returns the count copied.
inline std::size_t copy_cut(char *dst, const char *src, std::size_t max) {
    std::size_t n = strnlen(src, max);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
}

#endif
