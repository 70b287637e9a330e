// Text fitting helpers: fixed-width fields for the check.
#include "tarvik.h"

#include <cstring>

void completastr(char *text, char fill, int width, int right) {
    if (text == nullptr || width < 0) return;
    std::size_t w = static_cast<std::size_t>(width);
    std::size_t n = std::strlen(text);
    if (right != 0) {
        if (n > w) {
            std::memmove(text, text + (n - w), w);
        } else if (n < w) {
            std::memmove(text + (w - n), text, n);
            std::memset(text, fill, w - n);
        }
    } else if (n < w) {
        std::memset(text + n, fill, w - n);
    }
    text[w] = '\0';
}

int posicao(char c, char *text) {
    int i = 0;
    if (text == nullptr) return 0;
    while (text[i] != '\0' && text[i] != c)
        ++i;
    return i;
}
