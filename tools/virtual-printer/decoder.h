// Decodes the byte stream that the library sends to its printer into plain
// commands. No input or output: bytes go in, events come out, and a command
// cut across two feeds is held until it is whole.
#ifndef TARVIK_VIRTUAL_DECODER_H
#define TARVIK_VIRTUAL_DECODER_H

#include "protocol.h"

#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace virt {

enum class Kind {
    line_feed,      // count
    back_side,      // on
    front_text,     // pitch, twice, width, text
    authentication, // selector, pitch, twice, width, text
    back_text,      // pitch, twice, width, text
    check_field,    // field, text
    check,          // fields, after field 9 of a whole check; carries no bytes
    unknown,        // bytes that form no command
};

// One decoded command. Only the members that its kind names are set.
struct Event {
    Kind kind = Kind::unknown;
    std::string raw; // the command's bytes, as received

    int count = 0;   // line feeds
    bool on = false; // back-side mode

    char pitch = '0';
    bool twice = false; // double width
    int width = 0;      // line width of the pitch, in characters
    char selector = 0;  // authentication: 'Y', 'V' or 'X'
    char field = 0;     // check field code, '1' to '9'
    std::string text;   // the text bytes as sent

    std::array<std::string, protocol::kFields> fields; // a check's field texts, 1 to 9
};

class Decoder {
  public:
    // Decodes what the bytes complete; a command still incomplete at the end
    // waits for the next feed.
    std::vector<Event> feed(const void *data, std::size_t size);
    // The stream has ended: what is left forms no command and is reported
    // as unknown.
    std::vector<Event> finish();

  private:
    void decode(std::vector<Event> &out);
    void emit(std::vector<Event> &out, Event e);
    void flush_unknown(std::vector<Event> &out);

    std::string pending_;            // bytes not decided yet
    std::string unknown_;            // bytes that formed no command, not yet reported
    std::vector<std::string> check_; // fields of the check being received
};

// A check's parts for display: "DD/MM/YY", "R$ 1.234,56", and the layout
// digits after "000S". A part that is not in the library's form is given as
// it came.
std::string check_date(const Event &check);
std::string check_amount(const Event &check);
std::string check_layout(const Event &check);

// Bytes as "1B 2E 35".
std::string hex_bytes(const std::string &bytes);

} // namespace virt

#endif
