// A small writer of indented JSON text.
#ifndef TNIFF_TARNIFF_JSON_WRITER_H
#define TNIFF_TARNIFF_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

namespace tarniff {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The name of the next member of the object being written.
    JsonWriter& Key(const std::string& name);
    JsonWriter& String(const std::string& value);
    JsonWriter& Integer(int64_t value);
    JsonWriter& Number(double value);  // finite values only; others are written as null
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The text so far; complete once every object and array has ended.
    const std::string& text() const { return text_; }

private:
    void BeforeValue();
    void NewLine();
    void Open(char bracket);
    void Close(char bracket);

    std::string text_;
    std::vector<bool> hasMembers_;  // per open object or array
    bool afterKey_ = false;
};

}  // namespace tarniff

#endif
