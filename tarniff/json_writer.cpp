#include "tarniff/json_writer.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tarniff {

void JsonWriter::NewLine() {
    text_ += '\n';
    text_.append(hasMembers_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (hasMembers_.empty()) return;
    if (hasMembers_.back()) text_ += ',';
    hasMembers_.back() = true;
    NewLine();
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    text_ += bracket;
    hasMembers_.push_back(false);
}

void JsonWriter::Close(char bracket) {
    bool hadMembers = hasMembers_.back();
    hasMembers_.pop_back();
    if (hadMembers) NewLine();
    text_ += bracket;
    if (hasMembers_.empty()) text_ += '\n';
}

JsonWriter& JsonWriter::BeginObject() {
    Open('{');
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}
JsonWriter& JsonWriter::BeginArray() {
    Open('[');
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(const std::string& name) {
    String(name);
    text_ += ": ";
    afterKey_ = true;
    return *this;
}

namespace {
// The length of the well-formed UTF-8 character at bytes[0], or 0 when no character starts
// there: a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, or a
// sequence cut short.
size_t Utf8Length(const unsigned char* bytes, size_t available) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (available < length || bytes[1] < low || bytes[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (bytes[i] < 0x80 || bytes[i] > 0xBF) return 0;
    }
    return length;
}
}  // namespace

// JSON text is UTF-8, and the strings written here come from anywhere: a file name is whatever
// bytes the file system holds (a Latin-1 "caf\xE9" among them). Well-formed UTF-8 is written as
// it is; each byte that is not part of a well-formed character becomes one U+FFFD REPLACEMENT
// CHARACTER, written as "\ufffd". Escaping such bytes so that the name could be recovered
// would take lone surrogates ("\udce9"), which JSON leaves undefined and strict parsers refuse;
// a replacement keeps the output readable by every parser, and info --json gives one object per
// file in the order the files were named, so a script can match each to the name it passed.
JsonWriter& JsonWriter::String(const std::string& value) {
    BeforeValue();
    text_ += '"';
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.data());
    for (size_t at = 0; at < value.size();) {
        const unsigned char c = bytes[at];
        const size_t length = Utf8Length(bytes + at, value.size() - at);
        if (length == 0) {
            text_ += "\\ufffd";
            ++at;
            continue;
        }
        if (length > 1) {
            text_.append(value, at, length);
            at += length;
            continue;
        }
        ++at;
        switch (c) {
        case '"': text_ += "\\\""; break;
        case '\\': text_ += "\\\\"; break;
        case '\n': text_ += "\\n"; break;
        case '\r': text_ += "\\r"; break;
        case '\t': text_ += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ += escaped;
            } else {
                text_ += static_cast<char>(c);
            }
        }
    }
    text_ += '"';
    return *this;
}

JsonWriter& JsonWriter::Integer(int64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    if (!std::isfinite(value)) return Null();
    BeforeValue();
    // Six significant digits. printf follows the process's locale (a host may call setlocale),
    // and a decimal comma is not JSON: the locale's decimal point becomes '.'. %g groups no
    // digits, so nothing else of the locale's can appear.
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.6g", value);
    std::string number = digits;
    const char* point = std::localeconv()->decimal_point;
    if (point != nullptr && *point != '\0' && std::strcmp(point, ".") != 0) {
        const size_t at = number.find(point);
        if (at != std::string::npos) number.replace(at, std::strlen(point), ".");
    }
    text_ += number;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

}  // namespace tarniff
