#include "decoder.h"

#include "tarvik.h"

#include <cstring>

namespace virt {

namespace {

using protocol::kEsc;
using protocol::Side;
const unsigned char kDouble = protocol::kControlDouble;
const unsigned char kNormal = protocol::kControlNormal;
// Unknown bytes are reported in pieces of at most this many.
const std::size_t kUnknownPiece = 64;

enum class Result { whole, partial, none };

struct Match {
    Result result = Result::none;
    std::size_t size = 0; // bytes taken when whole
    Event event;
};

Match partial() {
    Match m;
    m.result = Result::partial;
    return m;
}

Match none() {
    return Match{};
}

Match whole(std::size_t size, Event e) {
    Match m;
    m.result = Result::whole;
    m.size = size;
    m.event = std::move(e);
    return m;
}

// The bytes in view; a byte past the end reads as -1.
struct View {
    const unsigned char *p;
    std::size_t n;
    int at(std::size_t i) const {
        return i < n ? p[i] : -1;
    }
};

// Whether c is one of the characters of set.
bool one_of(int c, const char *set) {
    return c > 0 && std::strchr(set, c) != nullptr;
}

// Fixed bytes from offset i on: whole, cut short by the end, or different.
Result fixed(const View &v, std::size_t i, const char *bytes, std::size_t size) {
    for (std::size_t k = 0; k < size; ++k) {
        int c = v.at(i + k);
        if (c < 0) return Result::partial;
        if (c != static_cast<unsigned char>(bytes[k])) return Result::none;
    }
    return Result::whole;
}

// A text of at most max bytes from offset i, ended by end. Gives the offset
// of the end byte, or the reason there is none.
Result text_until(const View &v, std::size_t i, int end, std::size_t max, std::size_t &stop) {
    for (std::size_t k = 0; k <= max; ++k) {
        int c = v.at(i + k);
        if (c < 0) return Result::partial;
        if (c == end) {
            stop = i + k;
            return Result::whole;
        }
    }
    return Result::none;
}

// The line width from the shared library's own pitch tables.
int width_of(Side side, char pitch, bool twice) {
    char flag = twice ? protocol::kDoubleWidth : 'N';
    int width;
    char control;
    (side == Side::front ? setme : setmev)(pitch, flag, width, control);
    return width;
}

Match line_feeds(const View &v) {
    std::size_t k = 0;
    for (; v.at(k) == '\n'; ++k)
        if (k == protocol::kMaxLineFeeds) return none();
    if (v.at(k) < 0) return partial();
    if (v.at(k) != 0) return none();
    Event e;
    e.kind = Kind::line_feed;
    e.count = static_cast<int>(k);
    return whole(k + 1, e);
}

// ESC 'd' pitch control text LF from offset i: a front line.
// ESC 'd' pitch CR NUL control ' ' ' ' text LF: a back line (i is 0).
Match text_line(const View &v, std::size_t i, bool back_allowed) {
    if (v.at(i) < 0 || v.at(i + 1) < 0) return partial();
    if (v.at(i) != kEsc || v.at(i + 1) != protocol::kTextLine) return none();
    int pitch = v.at(i + 2), control = v.at(i + 3);
    if (pitch < 0) return partial();
    if (!one_of(pitch, protocol::kPitchCodes)) return none();
    if (control < 0) return partial();
    Event e;
    e.pitch = static_cast<char>(pitch);
    std::size_t start;
    if (control == protocol::kBackHead[0] && back_allowed) {
        const std::size_t head = sizeof protocol::kBackHead,
                          indent = sizeof protocol::kBackIndent - 1;
        int zero = v.at(i + 4), k = v.at(i + 3 + head);
        if (zero < 0) return partial();
        if (zero != 0) return none();
        if (k < 0) return partial();
        if (k != kDouble && k != kNormal) return none();
        Result r = fixed(v, i + 4 + head, protocol::kBackIndent, indent);
        if (r != Result::whole) return r == Result::partial ? partial() : none();
        e.kind = Kind::back_text;
        e.twice = k == kDouble;
        e.width = width_of(Side::back, e.pitch, e.twice);
        start = i + 4 + head + indent;
    } else if (control == kDouble || control == kNormal) {
        e.kind = Kind::front_text;
        e.twice = control == kDouble;
        e.width = width_of(Side::front, e.pitch, e.twice);
        start = i + 4;
    } else {
        return none();
    }
    // A back line holds one character less than its width.
    std::size_t max = static_cast<std::size_t>(e.kind == Kind::back_text ? e.width - 1 : e.width);
    std::size_t stop = 0;
    Result r = text_until(v, start, '\n', max, stop);
    if (r != Result::whole) return r == Result::partial ? partial() : none();
    e.text.assign(reinterpret_cast<const char *>(v.p + start), stop - start);
    return whole(stop + 1, e);
}

// ESC '.' '5' '9' '0' code text '}': a check field.
Match check_field(const View &v) {
    const std::size_t head = sizeof protocol::kFieldHead - 1;
    Result r = fixed(v, 0, protocol::kFieldHead, head);
    if (r != Result::whole) return r == Result::partial ? partial() : none();
    const char first = protocol::kFirstField, last = first + protocol::kFields - 1;
    int code = v.at(head);
    if (code < 0) return partial();
    if (code < first || code > last) return none();
    std::size_t stop = 0;
    r = text_until(v, head + 1, protocol::kFieldEnd, protocol::kFieldText, stop);
    if (r != Result::whole) return r == Result::partial ? partial() : none();
    Event e;
    e.kind = Kind::check_field;
    e.field = static_cast<char>(code);
    e.text.assign(reinterpret_cast<const char *>(v.p + head + 1), stop - head - 1);
    return whole(stop + 1, e);
}

// Back-side mode on, with its line feed, or off; each part with its zero.
Match back_side(const View &v) {
    static const std::string on =
        std::string(protocol::kBackSideOn, sizeof protocol::kBackSideOn) +
        std::string(protocol::kBackSideFeed, sizeof protocol::kBackSideFeed);
    static const std::string off(protocol::kBackSideOff, sizeof protocol::kBackSideOff);
    Result a = fixed(v, 0, on.data(), on.size());
    Result b = fixed(v, 0, off.data(), off.size());
    Event e;
    e.kind = Kind::back_side;
    if (a == Result::whole) {
        e.on = true;
        return whole(on.size(), e);
    }
    if (b == Result::whole) return whole(off.size(), e);
    return a == Result::partial || b == Result::partial ? partial() : none();
}

Match match(const View &v) {
    switch (v.at(0)) {
    case 0:
    case '\n':
        return line_feeds(v);
    case kEsc:
        break;
    default:
        return none();
    }
    int second = v.at(1);
    if (second < 0) return partial();
    if (second == protocol::kTextLine) return text_line(v, 0, true);
    if (one_of(second, protocol::kSelectors)) {
        Match m = text_line(v, 2, false);
        if (m.result == Result::whole) {
            m.event.kind = Kind::authentication;
            m.event.selector = static_cast<char>(second);
        }
        return m;
    }
    // Whichever of the two can still be whole decides.
    Match m = check_field(v);
    return m.result == Result::none ? back_side(v) : m;
}

} // namespace

std::vector<Event> Decoder::feed(const void *data, std::size_t size) {
    pending_.append(static_cast<const char *>(data), size);
    std::vector<Event> out;
    decode(out);
    return out;
}

std::vector<Event> Decoder::finish() {
    std::vector<Event> out;
    unknown_ += pending_;
    pending_.clear();
    flush_unknown(out);
    return out;
}

void Decoder::decode(std::vector<Event> &out) {
    std::size_t at = 0;
    while (at < pending_.size()) {
        View v{reinterpret_cast<const unsigned char *>(pending_.data()) + at, pending_.size() - at};
        Match m = match(v);
        if (m.result == Result::partial) break;
        if (m.result == Result::whole) {
            flush_unknown(out);
            m.event.raw = pending_.substr(at, m.size);
            emit(out, std::move(m.event));
            at += m.size;
            continue;
        }
        // No command starts here: the byte is unknown, and the next one is
        // tried as a start.
        unknown_ += pending_[at++];
        if (unknown_.size() == kUnknownPiece) flush_unknown(out);
    }
    pending_.erase(0, at);
}

void Decoder::flush_unknown(std::vector<Event> &out) {
    if (unknown_.empty()) return;
    Event e;
    e.kind = Kind::unknown;
    e.raw.swap(unknown_);
    emit(out, std::move(e));
}

void Decoder::emit(std::vector<Event> &out, Event e) {
    // Fields 1 to 9 in order, with nothing between them, make one check.
    if (e.kind == Kind::check_field) {
        std::size_t index = static_cast<std::size_t>(e.field - protocol::kFirstField);
        if (index == 0) check_.clear();
        if (index == check_.size()) {
            check_.push_back(e.text);
        } else {
            check_.clear();
        }
    } else {
        check_.clear();
    }
    bool complete = check_.size() == protocol::kFields;
    out.push_back(std::move(e));
    if (complete) {
        Event c;
        c.kind = Kind::check;
        for (std::size_t i = 0; i < c.fields.size(); ++i)
            c.fields[i] = check_[i];
        check_.clear();
        out.push_back(std::move(c));
    }
}

std::string check_date(const Event &check) {
    const std::string &d = check.fields[2];
    if (d.size() != 6) return d;
    return d.substr(0, 2) + "/" + d.substr(2, 2) + "/" + d.substr(4, 2);
}

std::string check_amount(const Event &check) {
    const std::string &a = check.fields[3];
    if (a.size() != 12 || a.find_first_not_of("0123456789") != std::string::npos) return a;
    std::string units = a.substr(0, 10);
    std::size_t first = units.find_first_not_of('0');
    units = first == std::string::npos ? "0" : units.substr(first);
    std::string grouped;
    for (std::size_t i = 0; i < units.size(); ++i) {
        if (i > 0 && (units.size() - i) % 3 == 0) grouped += '.';
        grouped += units[i];
    }
    return "R$ " + grouped + "," + a.substr(10);
}

std::string check_layout(const Event &check) {
    const std::string &f = check.fields[8];
    const std::size_t head = sizeof protocol::kLayoutHead - 1;
    return f.compare(0, head, protocol::kLayoutHead) == 0 ? f.substr(head) : f;
}

std::string hex_bytes(const std::string &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace virt
