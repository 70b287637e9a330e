// Text line commands: a line on the front, an authentication print, and a
// line on the back of a document.
#include "commands.h"
#include "tarvik.h"
#include "text.h"

#include <cstring>

namespace {

const char ESC = 0x1b;

// The first width characters of text into cut, zero-terminated.
std::size_t cut_text(char *cut, const char *text, int width) {
    return copy_cut(cut, text, width > 0 ? static_cast<std::size_t>(width) : 0);
}

// ESC 'd' pitch control text LF, from out on; the zero after it is not sent.
std::size_t assemble_body(char *out, char *cut, Side side, char pitch, char flag,
                          const char *text) {
    int width;
    char control;
    pitch_lookup(side, pitch, flag, width, control);
    std::size_t n = cut_text(cut, text, width);
    out[0] = ESC;
    out[1] = 'd';
    out[2] = pitch;
    out[3] = control;
    std::memcpy(out + 4, cut, n);
    out[4 + n] = '\n';
    out[5 + n] = '\0';
    return 5 + n;
}

} // namespace

std::size_t assemble_front(char *out, char *cut, char pitch, char flag, const char *text) {
    return assemble_body(out, cut, Side::front, pitch, flag, text);
}

std::size_t assemble_auth(char *out, char *cut, char pitch, char flag, char selector,
                          const char *text) {
    out[0] = ESC;
    out[1] = selector == 'Y' || selector == 'V' ? selector : 'X';
    return 2 + assemble_body(out + 2, cut, Side::front, pitch, flag, text);
}

std::size_t assemble_back_head(char *out, char pitch) {
    int width;
    char control;
    pitch_lookup(Side::back, pitch, 'N', width, control);
    // The carriage return stands where a front line has its control byte,
    // and the zero byte is sent.
    const char head[] = {ESC, 'd', pitch, '\r', '\0'};
    std::memcpy(out, head, sizeof head);
    return sizeof head;
}

std::size_t assemble_back_line(char *out, char *cut, char pitch, char flag, const char *text) {
    int width;
    char control;
    pitch_lookup(Side::back, pitch, flag, width, control);
    // A back line holds one character less than its width.
    std::size_t n = cut_text(cut, text, width - 1);
    out[0] = control;
    out[1] = ' ';
    out[2] = ' ';
    std::memcpy(out + 3, cut, n);
    out[3 + n] = '\n';
    out[4 + n] = '\0';
    return 4 + n;
}

int tarvtxt(char pitch, char flag, char *text) {
    return frame([&](int fd) {
        return frame_send(fd, assemble_front(comando, bufi, pitch, flag, or_empty(text)));
    });
}

int tarvaut(char pitch, char flag, char selector, char *text) {
    return frame([&](int fd) {
        return frame_send(fd, assemble_auth(comando, bufi, pitch, flag, selector, or_empty(text)));
    });
}

int tarvversotxt(char pitch, char flag, char *text) {
    return frame([&](int fd) {
        const char *t = or_empty(text);
        return frame_send(fd, assemble_back_head(comando, pitch)) &&
               frame_send(fd, assemble_back_line(comando, bufi, pitch, flag, t));
    });
}
