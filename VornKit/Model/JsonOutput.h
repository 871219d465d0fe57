// JsonOutput: the compact JSON writer the record encoders write through. Values go straight into
// the caller's string: keys arrive already quoted and escaped from the field tables, texts known
// to be plain are copied without a look at their characters, others are escaped a word at a
// time; numbers are formatted in place (an integral double below 2^53 as an integer, other doubles
// in the shortest form that reads back the same).
// Commas are placed by the writer; the caller writes well-formed sequences (a key before each
// value inside objects).
//
// The string grows in large steps inside the capacity reserved with reserve(); finish() (or the
// destructor) trims it to what was written.
//
// Thread rule: one writer, one thread, one output string.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "VornKit/Export.h"
#include "VornKit/Model/JsonCoding.h"
#include "VornKit/Model/Text.h"

namespace vk {

/// Copies `n` bytes; short copies (keys, most texts) inline with overlapping word moves.
inline void copyBytes(char* to, const char* from, std::size_t n) {
    if (n >= 8 && n <= 16) {
        std::uint64_t a;
        std::uint64_t b;
        std::memcpy(&a, from, 8);
        std::memcpy(&b, from + n - 8, 8);
        std::memcpy(to, &a, 8);
        std::memcpy(to + n - 8, &b, 8);
    } else if (n > 16 && n <= 32) {
        char a[16];
        char b[16];
        std::memcpy(a, from, 16);
        std::memcpy(b, from + n - 16, 16);
        std::memcpy(to, a, 16);
        std::memcpy(to + n - 16, b, 16);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a;
        std::uint32_t b;
        std::memcpy(&a, from, 4);
        std::memcpy(&b, from + n - 4, 4);
        std::memcpy(to, &a, 4);
        std::memcpy(to + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i)
            to[i] = from[i];
    } else {
        std::memcpy(to, from, n);
    }
}

/// Compact JSON writer that appends to a caller's string and places the commas itself; the
/// caller writes well-formed sequences. One writer, one thread, one output string.
class VK_EXPORT JsonOutput {
  public:
    /// Appends to `out` after what it already holds. `out` and `options` must outlive the writer;
    /// the writer marks `options.invalidValue` when it meets a non-finite number.
    JsonOutput(std::string& out, const JsonWriteOptions& options);
    /// Calls finish() if the caller has not.
    ~JsonOutput() { finish(); }
    JsonOutput(const JsonOutput&) = delete;
    JsonOutput& operator=(const JsonOutput&) = delete;

    /// The options given at construction (date strategy and the invalid-value mark).
    const JsonWriteOptions& options() const { return options_; }
    /// Makes room for `bytes` more characters without moving the string again.
    void reserve(std::size_t bytes);
    /// Trims the string to the characters written; the writer may not be used afterwards.
    void finish();

    /// Structure: `{`, `}`, `[` and `]`, with the comma a value needs before it. Inside an object
    /// each value follows a key (encodedKey() or key()).
    /// @{
    void beginObject() {
        ensure(2);
        separate();
        *cursor_++ = '{';
        comma_ = false;
    }
    void endObject() {
        ensure(1);
        *cursor_++ = '}';
        comma_ = true;
    }
    void beginArray() {
        ensure(2);
        separate();
        *cursor_++ = '[';
        comma_ = false;
    }
    void endArray() {
        ensure(1);
        *cursor_++ = ']';
        comma_ = true;
    }
    /// @}
    /// A key already written as JSON with its colon: "\"Name\":".
    void encodedKey(std::string_view key) {
        ensure(key.size() + 1);
        separate();
        copyBytes(cursor_, key.data(), key.size());
        cursor_ += key.size();
        comma_ = false;
    }
    /// A key given as plain text (escaped here).
    void key(std::string_view name);
    /// A JSON string of `value`, escaped where needed.
    void string(std::string_view value) {
        if (Text::needsJsonEscaping(value)) {
            escapedString(value);
        } else {
            plainString(value);
        }
    }
    /// An absent Text is written as "".
    void text(const Text& value) {
        if (value.isJsonPlain() || !value) {
            plainString(value.view());
        } else {
            escapedString(value.view());
        }
    }
    /// An integer in decimal.
    void integer(std::int64_t value);
    /// Non-finite values are written as null and mark the options' invalidValue.
    void number(double value);
    /// A float in the shortest form that reads back as the same float; non-finite as for double.
    void number(float value);
    /// `true` or `false`.
    void boolean(bool value) {
        ensure(6);
        separate();
        std::memcpy(cursor_, value ? "true" : "false", value ? 4 : 5);
        cursor_ += value ? 4 : 5;
    }
    /// `null`.
    void null() {
        ensure(5);
        separate();
        std::memcpy(cursor_, "null", 4);
        cursor_ += 4;
    }

    /// Appends `text` with JSON escapes (no quotes).
    static void appendEscaped(std::string& out, std::string_view text);

  private:
    void separate() {
        if (comma_)
            *cursor_++ = ',';
        comma_ = true;
    }
    void ensure(std::size_t bytes) {
        if (static_cast<std::size_t>(limit_ - cursor_) < bytes)
            grow(bytes);
    }
    void grow(std::size_t bytes);
    void adviseLargeBuffer();
    /// A number as JsonWriter writes it (an integral value below 2^53 as an integer, others in
    /// the shortest form that reads back the same); null (and the invalid-value flag) for NaN
    /// and infinities.
    template <class Real>
    void finiteNumber(Real value);
    void plainString(std::string_view value) {
        ensure(value.size() + 3);
        separate();
        *cursor_++ = '"';
        copyBytes(cursor_, value.data(), value.size());
        cursor_ += value.size();
        *cursor_++ = '"';
    }
    void escapedString(std::string_view value);

    std::string& out_;
    const JsonWriteOptions& options_;
    std::size_t written_ = 0;  // characters of out_ before cursor_'s region
    char* cursor_ = nullptr;
    char* limit_ = nullptr;
    bool comma_ = false;
    bool finished_ = false;
};

}  // namespace vk
