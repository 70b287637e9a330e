// Text line commands: a line on the front, an authentication print, and a
// line on the back of a document.
#include "commands.h"
#include "text.h"

#include <cstring>

namespace {

using protocol::kEsc;
using protocol::kTextLine;
using protocol::Side;

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
    out[0] = kEsc;
    out[1] = kTextLine;
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
    bool known = selector != '\0' && std::strchr(protocol::kSelectors, selector) != nullptr;
    out[0] = kEsc;
    out[1] = known ? selector : protocol::kOtherSelector;
    return 2 + assemble_body(out + 2, cut, Side::front, pitch, flag, text);
}

std::size_t assemble_back_head(char *out, char pitch) {
    int width;
    char control;
    pitch_lookup(Side::back, pitch, 'N', width, control);
    // The head stands where a front line has its control byte, and its zero
    // byte is sent.
    out[0] = kEsc;
    out[1] = kTextLine;
    out[2] = pitch;
    std::memcpy(out + 3, protocol::kBackHead, sizeof protocol::kBackHead);
    return 3 + sizeof protocol::kBackHead;
}

std::size_t assemble_back_line(char *out, char *cut, char pitch, char flag, const char *text) {
    int width;
    char control;
    pitch_lookup(Side::back, pitch, flag, width, control);
    // A back line holds one character less than its width.
    std::size_t n = cut_text(cut, text, width - 1);
    const std::size_t indent = sizeof protocol::kBackIndent - 1;
    out[0] = control;
    std::memcpy(out + 1, protocol::kBackIndent, indent);
    std::memcpy(out + 1 + indent, cut, n);
    out[1 + indent + n] = '\n';
    out[2 + indent + n] = '\0';
    return 2 + indent + n;
}

int tarvtxt(char pitch, char flag, char *text) {
    return frame([&](int fd) {
        return link_send(fd, comando, assemble_front(comando, bufi, pitch, flag, or_empty(text)));
    });
}

int tarvaut(char pitch, char flag, char selector, char *text) {
    return frame([&](int fd) {
        std::size_t n = assemble_auth(comando, bufi, pitch, flag, selector, or_empty(text));
        return link_send(fd, comando, n);
    });
}

int tarvversotxt(char pitch, char flag, char *text) {
    return frame([&](int fd) {
        const char *t = or_empty(text);
        return link_send(fd, comando, assemble_back_head(comando, pitch)) &&
               link_send(fd, comando, assemble_back_line(comando, bufi, pitch, flag, t));
    });
}
