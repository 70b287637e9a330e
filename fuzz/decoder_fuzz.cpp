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

// Whether text is UTF-8 made only of characters that XML allows.
bool xml_text(const std::string &text) {
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80                ? 1
                          : c >= 0xc2 && c < 0xe0 ? 2
                          : c >= 0xe0 && c < 0xf0 ? 3
                          : c >= 0xf0 && c < 0xf5 ? 4
                                                  : 0;
        if (len == 0 || i + len > text.size()) return false;
        unsigned long code = len == 1 ? c : c & (0x7f >> len);
        for (std::size_t k = 1; k < len; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) return false;
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
        }
        bool allowed = code == '\t' || code == '\n' || code == '\r' ||
                       (code >= 0x20 && code < 0xd800) || (code >= 0xe000 && code < 0xfffe) ||
                       (code >= 0x10000 && code < 0x110000);
        if (!allowed || (len == 3 && code < 0x800) || (len == 4 && code < 0x10000)) return false;
        i += len;
    }
    return true;
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

    // Whatever the texts held, taken as UTF-8 as they are, the picture is
    // text that XML can hold, with no control but its line ends.
    std::string svg = virt::render_svg(once, [](const std::string &s) { return s; });
    FUZZ_CHECK(xml_text(svg));
    for (unsigned char c : svg)
        FUZZ_CHECK(c >= 0x20 || c == '\n');
    return 0;
}
