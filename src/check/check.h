// Internal interface of check printing: the plain functions that bring each
// field of a check into its fixed form, and the field command assembly.
#ifndef TARVIK_CHECK_H
#define TARVIK_CHECK_H

#include <cstddef>

// How a date read. An invalid date is reported as "data invalida", after
// count and a line feed when show_count is set.
struct DateRead {
    bool valid;
    bool show_count;
    int count;
};

// Normalises a free-form date (day, separator, month, separator, year) to
// DDMMYY in ddmmyy. A one-digit day or month gets a leading zero, a one-digit
// year too, and a four-digit year keeps its last two digits. The result must
// be six digits naming a real day, else the date is invalid (no count shown).
DateRead normalize_date(const char *date, char (&ddmmyy)[7]);

// The decimal digits of amount, right-justified in twelve and zero-filled.
// False, with digits empty, for an amount that holds a '-' or more than
// twelve digits after its leading zeros.
bool amount_digits(const char *amount, char (&digits)[13]);

// The bank code: bank up to its first '-', of that at most the first five
// characters, fitted to three, right-justified and zero-filled.
void bank_code(const char *bank, char (&code)[4]);

// Field 9: "000S" followed by the layout without its commas.
void layout_field(const char *layout, char (&field)[25]);

// Assembles the field command ESC . 5 9 0 code text } in out (at least 100
// bytes), with at most protocol::kFieldText characters of text, each '}' and
// ESC of it a space, and a zero after it. Returns the count to send, the zero
// excluded.
std::size_t build_field(char *out, char code, const char *text);

#endif
