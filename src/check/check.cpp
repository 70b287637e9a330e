// The check command: nine field commands built from the caller's texts and
// the bank's layout in tarvik.ini.
#include "check.h"

#include "commands/commands.h"
#include "link/link.h"
#include "tarvik.h"
#include "text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const std::size_t kCutText = 60; // fields 5 and 6

void report_invalid_date(const DateRead &read) {
    if (read.show_count) {
        std::fprintf(stdout, "%d\n", read.count);
        std::fflush(stdout);
    }
    std::fprintf(stdout, "data invalida");
}

// Sends one field command; false when it did not all go.
bool send_field(int fd, char code, const char *text) {
    return frame_send(fd, build_field(comando, code, or_empty(text)));
}

} // namespace

void chequecom(int fd, char code, char *text) {
    send_field(fd, code, text);
}

int tarvcheque(char *text1, char *text2, char *date, char *amount, char *text5, char *text6,
               char *bank) {
    int fd = frame_open();
    if (fd < 0) return 0;

    // Reports wait until the port is back as it was and closed.
    char ddmmyy[7];
    DateRead read = normalize_date(or_empty(date), ddmmyy);
    if (!read.valid) {
        serial_close(fd);
        report_invalid_date(read);
        errno = EINVAL;
        return 0;
    }
    char field4[13];
    if (!amount_digits(or_empty(amount), field4)) {
        serial_close(fd);
        errno = ERANGE;
        return 0;
    }

    char code[4];
    bank_code(or_empty(bank), code);
    char layout[kLayout];
    switch (layout_lookup(code, layout)) {
    case Lookup::found:
    case Lookup::none:
        break;
    case Lookup::transient: {
        int err = errno;
        serial_close(fd);
        errno = err;
        report_port_failure(-1);
        return 0;
    }
    case Lookup::missing:
        serial_close(fd);
        ini_missing();
    }
    char field9[25];
    layout_field(layout, field9);

    char field5[kCutText + 1];
    char field6[kCutText + 1];
    copy_cut(field5, or_empty(text5), kCutText);
    copy_cut(field6, or_empty(text6), kCutText);

    // The fields after one that could not be written are not sent.
    const char *texts[] = {text1, text2, ddmmyy, field4, field5, field6, "REAL", "REAIS", field9};
    bool sent = true;
    for (int i = 0; i < 9 && sent; ++i)
        sent = send_field(fd, static_cast<char>('1' + i), texts[i]);
    return frame_close(fd, sent);
}
