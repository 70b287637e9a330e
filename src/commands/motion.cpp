// Paper motion and back-side mode: commands that carry no text.
#include "commands.h"
#include "tarvik.h"

#include <cstring>

namespace {

const int kMaxLineFeeds = 10;

// ESC . 5 9 1 5 } and ESC . 5 9 1 6 }, each with the zero byte sent after it.
const char kBackSideOn[] = "\x1b.5915}";
const char kBackSideOff[] = "\x1b.5916}";

// Sends a fixed command including its terminating zero.
bool send_fixed(int fd, const char *command, std::size_t size_with_zero) {
    std::memcpy(comando, command, size_with_zero);
    return frame_send(fd, size_with_zero);
}

} // namespace

std::size_t build_linefeeds(char *out, int n) {
    if (n == 0) return 0;
    int k = n < 0 ? 0 : (n > kMaxLineFeeds ? kMaxLineFeeds : n);
    std::memset(out, '\n', static_cast<std::size_t>(k));
    out[k] = '\0';
    return static_cast<std::size_t>(k) + 1;
}

int tarvlf(int n) {
    return frame([n](int fd) {
        std::size_t size = build_linefeeds(comando, n);
        return size == 0 || frame_send(fd, size);
    });
}

int tarvabreverso() {
    return frame([](int fd) {
        return send_fixed(fd, kBackSideOn, sizeof kBackSideOn) && send_fixed(fd, "\n", 2);
    });
}

int tarvfechaverso() {
    return frame([](int fd) { return send_fixed(fd, kBackSideOff, sizeof kBackSideOff); });
}
