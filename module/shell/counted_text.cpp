#include "module/shell/counted_text.h"

#include <cmath>
#include <cstdint>

namespace {
// The ceiling before the last character is dropped; keeps the terminating 0 inside the buffer.
const uint32_t kCountedTextCeiling = 255;

const uint8_t kCaret = '^';

// What is left of value after its integer part; value is not negative.
double FractionOf(double value) { return value - std::floor(value); }

void AppendCharacter(CountedText* text, uint8_t character) {
    CountedTextAppend(text, &character, 0, 1);
}
}  // namespace

CountedText* CountedTextClear(CountedText* text) {
    text->bytes[0] = 0;
    text->bytes[1] = 0;
    return text;
}

CountedText* CountedTextAppend(CountedText* destination, const uint8_t* source, uint16_t start,
                               uint16_t count) {
    uint32_t length = destination->bytes[0];
    uint32_t take = count;
    if (length + take > kCountedTextCeiling) take = kCountedTextCeiling - length;
    for (uint32_t k = 0; k < take; ++k) {
        destination->bytes[length + 1] = source[start + k];
        ++length;
    }
    if (length == kCountedTextCeiling) --length;
    destination->bytes[0] = static_cast<uint8_t>(length);
    destination->bytes[length + 1] = 0;
    return destination;
}

void ExpandPlaceholders(CountedText* message, const CountedText* value0, const CountedText* value1,
                        const CountedText* value2) {
    const CountedText* values[3] = {value0, value1, value2};
    uint16_t i = 0;  // the last index examined
    bool caret = false;
    while (i < message->bytes[0]) {
        ++i;
        uint8_t character = message->bytes[i];
        if (character == kCaret) {
            caret = true;
        } else if (caret && character >= '0' && character <= '2') {
            caret = false;
            const CountedText* value = values[character - '0'];
            // The caret stands at i - 1, so the text before it is indexes 1 to i - 2.
            CountedText rebuilt;
            CountedTextClear(&rebuilt);
            CountedTextAppend(&rebuilt, message->bytes, 1, static_cast<uint16_t>(i - 2));
            if (value != nullptr) CountedTextAppend(&rebuilt, value->bytes, 1, value->bytes[0]);
            uint16_t length = message->bytes[0];
            CountedTextAppend(&rebuilt, message->bytes, static_cast<uint16_t>(i + 1),
                              static_cast<uint16_t>(length - i));
            *message = rebuilt;
            --i;
        } else {
            caret = false;
        }
    }
}

void FormatDecimal(CountedText* output, double value, int16_t decimals) {
    CountedTextClear(output);
    double x = value;
    if (x < 0) {
        AppendCharacter(output, '-');
        x = -x;
    }
    int32_t n = decimals < 0 ? 0 : decimals;
    // Round on the first digit that is dropped.
    if (FractionOf(x * PowerOfTen(static_cast<uint16_t>(n))) * 10 >= 5) {
        x += 5 / PowerOfTen(static_cast<uint16_t>(n + 1));
    }
    // A last kept decimal of 0 is dropped (one at most, and never the first).
    if (n >= 2 && FractionOf(x * PowerOfTen(static_cast<uint16_t>(n - 1))) * 10 < 1) --n;

    double whole = std::floor(x);
    CountedText digits;
    // Beyond the 32-bit range the integer part is written at the range's end; the module never
    // formats such values.
    FormatInteger(whole >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(whole), &digits);
    CountedTextAppend(output, digits.bytes, 1, digits.bytes[0]);
    AppendCharacter(output, '.');

    x -= whole;
    for (;;) {
        x *= 10;
        double digit = std::floor(x);
        AppendCharacter(output, static_cast<uint8_t>('0' + static_cast<int>(digit)));
        x -= digit;
        if (!(x > 0)) break;
        --n;
        if (!(n > 0)) break;
    }
}

void FormatInteger(int32_t value, CountedText* output) {
    CountedTextClear(output);
    uint8_t characters[12];
    uint16_t count = 0;
    // Widened so that the most negative value has a magnitude.
    int64_t magnitude = value;
    if (magnitude < 0) {
        characters[count++] = '-';
        magnitude = -magnitude;
    }
    uint8_t reversed[10];
    uint16_t digits = 0;
    do {
        reversed[digits++] = static_cast<uint8_t>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (digits > 0) characters[count++] = reversed[--digits];
    CountedTextAppend(output, characters, 0, count);
}

double PowerOfTen(uint16_t count) {
    double result = 1.0;
    for (uint16_t k = 0; k < count; ++k) result *= 10;
    return result;
}
