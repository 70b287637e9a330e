// Paper motion and back-side mode: commands that carry no text.
#include "commands.h"

#include <cstring>

namespace {

// Sends a fixed command and its terminating zero.
template <std::size_t N> bool send_fixed(int fd, const char (&command)[N]) {
    std::memcpy(comando, command, N);
    return link_send(fd, comando, N);
}

} // namespace

std::size_t build_linefeeds(char *out, int n) {
    if (n == 0) return 0;
    const int most = protocol::kMaxLineFeeds;
    int k = n < 0 ? 0 : (n > most ? most : n);
    std::memset(out, '\n', static_cast<std::size_t>(k));
    out[k] = '\0';
    return static_cast<std::size_t>(k) + 1;
}

int tarvlf(int n) {
    return frame([n](int fd) {
        std::size_t size = build_linefeeds(comando, n);
        return size == 0 || link_send(fd, comando, size);
    });
}

int tarvabreverso() {
    return frame([](int fd) {
        return send_fixed(fd, protocol::kBackSideOn) && send_fixed(fd, protocol::kBackSideFeed);
    });
}

int tarvfechaverso() {
    return frame([](int fd) { return send_fixed(fd, protocol::kBackSideOff); });
}
