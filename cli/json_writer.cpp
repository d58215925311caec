#include "cli/json_writer.h"

#include <cmath>
#include <cstdio>

namespace tniff_cli {

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

JsonWriter& JsonWriter::BeginObject() { Open('{'); return *this; }
JsonWriter& JsonWriter::EndObject() { Close('}'); return *this; }
JsonWriter& JsonWriter::BeginArray() { Open('['); return *this; }
JsonWriter& JsonWriter::EndArray() { Close(']'); return *this; }

JsonWriter& JsonWriter::Key(const std::string& name) {
    String(name);
    text_ += ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(const std::string& value) {
    BeforeValue();
    text_ += '"';
    for (unsigned char c : value) {
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
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.6g", value);
    text_ += digits;
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

}  // namespace tniff_cli
