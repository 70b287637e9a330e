// The fields of a check, as plain functions over buffers.
#include "check.h"

#include "protocol.h"
#include "tarvik.h"
#include "text.h"

#include <algorithm>
#include <cstring>

namespace {

const int kAmountWidth = 12;
char kDigits[] = "0123456789";

// A day or month: at most two characters, ending early at a '/' or the end
// of the text. A single character gets a leading zero.
void read_part(const char *date, std::size_t &p, char *o, int &n) {
    const int start = n;
    while (n < start + 2 && date[p] != '/' && date[p] != '\0')
        o[n++] = date[p++];
    if (n == start + 1) {
        o[n] = o[n - 1];
        o[n - 1] = '0';
        ++n;
    }
}

// Skips the separator, whatever it is, but never the end of the text.
void skip_one(const char *date, std::size_t &p) {
    if (date[p] != '\0') ++p;
}

// Two digits at s as a number, or -1 when either is not a digit.
int two_digits(const char *s) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return digit(s[0]) && digit(s[1]) ? (s[0] - '0') * 10 + (s[1] - '0') : -1;
}

// DDMMYY names a day of the calendar. The year is two digits, so 29
// February stands in every year divisible by four.
bool real_date(const char *ddmmyy) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int day = two_digits(ddmmyy);
    int month = two_digits(ddmmyy + 2);
    int year = two_digits(ddmmyy + 4);
    if (day < 1 || month < 1 || month > 12 || year < 0) return false;
    if (month == 2 && day == 29) return year % 4 == 0;
    return day <= kDays[month - 1];
}

} // namespace

DateRead normalize_date(const char *date, char (&ddmmyy)[7]) {
    char o[8];
    std::size_t p = 0;
    int n = 0;
    ddmmyy[0] = '\0';

    read_part(date, p, o, n);
    if (n == 0) return {false, true, 0};
    skip_one(date, p);

    read_part(date, p, o, n);
    if (n == 2) return {false, false, 2};
    skip_one(date, p);

    // The year runs to the end of the text; a '/' is taken like any other.
    while (n < 8 && date[p] != '\0')
        o[n++] = date[p++];
    switch (n) {
    case 5:
        o[5] = o[4];
        o[4] = '0';
        break;
    case 6:
        break;
    case 8:
        o[4] = o[6];
        o[5] = o[7];
        break;
    default: // no year digit, or three
        return {false, true, n};
    }
    // A date the printer would put on a check must be one.
    if (!real_date(o)) return {false, false, n};
    std::memcpy(ddmmyy, o, 6);
    ddmmyy[6] = '\0';
    return {true, false, n};
}

bool amount_digits(const char *amount, char (&digits)[13]) {
    // Leading zeros carry no value. Past them, twelve digits are all that
    // the field holds, and a check is never negative: anything else would
    // print another amount than the one given.
    int n = 0;
    for (std::size_t i = 0; amount[i] != '\0'; ++i) {
        if (amount[i] == '-' || (n == kAmountWidth && posicao(amount[i], kDigits) < 10)) {
            digits[0] = '\0';
            return false;
        }
        if (posicao(amount[i], kDigits) >= 10 || (n == 0 && amount[i] == '0')) continue;
        digits[n++] = amount[i];
    }
    digits[n] = '\0';
    completastr(digits, '0', kAmountWidth, 1);
    return true;
}

void bank_code(const char *bank, char (&code)[4]) {
    // A check digit written after a dash ("341-7") is no part of the code.
    char first[6];
    copy_cut(first, bank, std::min<std::size_t>(5, std::strcspn(bank, "-")));
    completastr(first, '0', 3, 1);
    std::memcpy(code, first, 4);
}

void layout_field(const char *layout, char (&field)[25]) {
    std::size_t n = 0;
    for (const char *s = protocol::kLayoutHead; *s != '\0'; ++s)
        field[n++] = *s;
    for (std::size_t i = 0; layout[i] != '\0' && n < sizeof field - 1; ++i)
        if (layout[i] != ',') field[n++] = layout[i];
    field[n] = '\0';
}

std::size_t build_field(char *out, char code, const char *text) {
    using protocol::kFieldEnd;
    const std::size_t head = sizeof protocol::kFieldHead - 1;
    std::size_t len = strnlen(text, protocol::kFieldText);
    std::memcpy(out, protocol::kFieldHead, head);
    out[head] = code;
    // A '}' or an ESC would end the field early, and the printer would read
    // the rest of the text as commands: each goes as a space.
    char *body = out + head + 1;
    for (std::size_t i = 0; i < len; ++i)
        body[i] = text[i] == kFieldEnd || text[i] == protocol::kEsc ? ' ' : text[i];
    body[len] = kFieldEnd;
    body[len + 1] = '\0';
    return head + 2 + len;
}
