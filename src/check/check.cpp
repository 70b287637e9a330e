// The check command: nine field commands built from the caller's texts and
// the bank's layout in tarvik.ini.
#include "check.h"

#include "commands/commands.h"
#include "text.h"

#include <cstdio>
#include <cstring>

namespace {

const std::size_t kCutText = 60; // fields 5 and 6

void report_invalid_date(const DateRead &read) {
    if (read.show_count) {
        std::fprintf(stdout, "%d\n", read.count);
        std::fflush(stdout);
    }
    std::fprintf(stdout, "%s", protocol::kInvalidDateReport);
}

// Sends one field command; false when it did not all go.
bool send_field(int fd, char code, const char *text) {
    return link_send(fd, comando, build_field(comando, code, or_empty(text)));
}

} // namespace

void chequecom(int fd, char code, char *text) {
    send_field(fd, code, text);
}

int tarvcheque(char *text1, char *text2, char *date, char *amount, char *text5, char *text6,
               char *bank) {
    char ddmmyy[7];
    DateRead read{};
    char field4[13];
    Lookup layout_read = Lookup::found;
    char layout[kLayout];
    // The arguments are read once the port is open, so that a port that does
    // not open is reported first.
    auto refuse = [&] {
        read = normalize_date(or_empty(date), ddmmyy);
        if (!read.valid) return EINVAL;
        if (!amount_digits(or_empty(amount), field4)) return ERANGE;
        char code[4];
        bank_code(or_empty(bank), code);
        layout_read = layout_lookup(code, layout);
        if (layout_read == Lookup::transient) return errno;
        return layout_read == Lookup::missing ? ENOENT : 0;
    };
    auto report = [&] {
        if (!read.valid) report_invalid_date(read);
        if (layout_read == Lookup::transient) report_port_failure(-1);
        if (layout_read == Lookup::missing) ini_missing();
    };
    return frame(refuse, report, [&](int fd) {
        char field9[25];
        layout_field(layout, field9);
        char field5[kCutText + 1];
        char field6[kCutText + 1];
        copy_cut(field5, or_empty(text5), kCutText);
        copy_cut(field6, or_empty(text6), kCutText);
        // The fields after one that could not be written are not sent.
        const char *texts[protocol::kFields] = {text1,  text2,  ddmmyy,  field4, field5,
                                                field6, "REAL", "REAIS", field9};
        bool sent = true;
        for (int i = 0; i < protocol::kFields && sent; ++i)
            sent = send_field(fd, static_cast<char>(protocol::kFirstField + i), texts[i]);
        return sent;
    });
}
