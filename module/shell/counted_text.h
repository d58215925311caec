// A small toolkit for length-prefixed texts, the form in which the module builds the message of
// its host-insufficient alert: appending with a fixed ceiling, filling "^0", "^1", "^2"
// placeholders, and writing numbers with a given count of decimals.
#ifndef TNIFF_SHELL_COUNTED_TEXT_H
#define TNIFF_SHELL_COUNTED_TEXT_H

#include <cstdint>

// Byte 0 holds the length; bytes 1 to length the characters (the platform's 8-bit set). Every
// operation that changes a text stores a 0 byte after its last character, so bytes + 1 can be
// read as a NUL-terminated text. After an append the length is at most 254, which keeps that 0
// byte inside the 256 bytes.
struct CountedText {
    uint8_t bytes[256];
};

// The longest text an append leaves.
const uint16_t kCountedTextMaxLength = 254;

// Empties text (length 0, byte 1 set to 0) and gives it back.
CountedText* CountedTextClear(CountedText* text);

// Appends count bytes of source, from index start on, to destination and gives destination.
// Text beyond 254 characters is cut. source is a plain byte array: a NUL-terminated text is
// appended from start 0, another CountedText's characters from start 1.
CountedText* CountedTextAppend(CountedText* destination, const uint8_t* source, uint16_t start,
                               uint16_t count);

// Replaces each "^0", "^1", "^2" in message, scanning left to right, with the characters of the
// matching value; an absent value counts as empty. A caret before any other character, or a
// digit without a caret, is plain text. After a replacement the scan resumes where the digit
// stood, so the first character of an inserted value is passed over and the rest of it is
// scanned like any other text.
void ExpandPlaceholders(CountedText* message, const CountedText* value0, const CountedText* value1,
                        const CountedText* value2);

// Writes a non-negative value with at most `decimals` digits after the point, rounded on the
// first dropped digit, at least one digit after the point, no trailing zero beyond the first
// decimal that is kept: 2.5 with 1 gives "2.5", 3 with 1 gives "3.0", 2.5 with 2 gives "2.5".
// A negative value is written as its magnitude with a leading "-".
void FormatDecimal(CountedText* output, double value, int16_t decimals);

// Empties output and writes value in decimal, "-" first when it is negative.
void FormatInteger(int32_t value, CountedText* output);

// 10 multiplied by itself count times, starting from 1.
double PowerOfTen(uint16_t count);

#endif
