// The virtual printer's decoder on arbitrary bytes fed in arbitrary pieces:
// the first two bytes choose where the stream is cut, the rest is the stream.
#include "decoder.h"
#include "fuzz_check.h"
#include "svg.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Every byte of the stream is in exactly one event, in order.
std::string bytes_of(const std::vector<virt::Event> &events) {
    std::string all;
    for (const virt::Event &e : events) {
        if (e.kind == virt::Kind::check) {
            FUZZ_CHECK(e.raw.empty());
            continue;
        }
        FUZZ_CHECK(!e.raw.empty());
        all += e.raw;
    }
    return all;
}

void append(std::vector<virt::Event> &to, std::vector<virt::Event> more) {
    for (virt::Event &e : more)
        to.push_back(std::move(e));
}

// Latin-1 to UTF-8, enough for the drawing.
std::string latin1(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    uint32_t seed = static_cast<uint32_t>(data[0]) << 8 | data[1];
    std::string stream(reinterpret_cast<const char *>(data + 2), size - 2);

    virt::Decoder whole;
    std::vector<virt::Event> once = whole.feed(stream.data(), stream.size());
    append(once, whole.finish());

    virt::Decoder cut;
    std::vector<virt::Event> pieces;
    for (std::size_t at = 0; at < stream.size();) {
        seed = seed * 1103515245u + 12345u;
        std::size_t n = 1 + (seed >> 16) % 17;
        if (n > stream.size() - at) n = stream.size() - at;
        append(pieces, cut.feed(stream.data() + at, n));
        at += n;
    }
    append(pieces, cut.finish());

    FUZZ_CHECK(bytes_of(once) == stream);
    // Where the stream is cut makes no difference.
    FUZZ_CHECK(once.size() == pieces.size());
    for (std::size_t i = 0; i < once.size(); ++i) {
        FUZZ_CHECK(once[i].kind == pieces[i].kind);
        FUZZ_CHECK(once[i].raw == pieces[i].raw);
        FUZZ_CHECK(once[i].text == pieces[i].text);
        FUZZ_CHECK(once[i].fields == pieces[i].fields);
    }
    for (std::size_t i = 0; i < once.size(); ++i) {
        const virt::Event &e = once[i];
        if (e.kind == virt::Kind::check)
            FUZZ_CHECK(i > 0 && once[i - 1].kind == virt::Kind::check_field &&
                       once[i - 1].field == '9');
        if (e.kind == virt::Kind::front_text || e.kind == virt::Kind::authentication ||
            e.kind == virt::Kind::back_text)
            FUZZ_CHECK(e.width > 0 && e.text.size() <= static_cast<std::size_t>(e.width));
        if (e.kind == virt::Kind::line_feed) FUZZ_CHECK(e.count >= 0 && e.count <= 10);
    }

    // The picture holds no raw control bytes, whatever the texts held.
    std::string svg = virt::render_svg(once, latin1);
    for (unsigned char c : svg)
        FUZZ_CHECK(c >= 0x20 || c == '\n');
    return 0;
}
