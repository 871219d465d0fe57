// A small compact JSON writer: appends values to a string in the order they are written.
// Strings are escaped as JSON requires. A double whose value is an integer of magnitude below 2^53
// is written as that integer (15000000, never 1.5e+07: servers read such fields as 64-bit
// integers); other doubles use the shortest form that reads back the same. Non-finite doubles are
// written as null, since JSON has no such numbers.
//
// Thread rule: externally synchronised (one writer per thread). The caller writes well-formed
// sequences (keys inside objects, values elsewhere); commas are placed by the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "VornKit/Export.h"

namespace vk {

/// Compact JSON writer for requests and bridge messages: appends each value to a caller's string as
/// it is written and places the commas itself. Externally synchronised.
class VK_EXPORT JsonWriter {
  public:
    /// Appends to `out`, which must outlive the writer.
    explicit JsonWriter(std::string& out) : out_(out) {}

    /// Structure: `{`, `}`, `[` and `]`. Inside an object each value follows a key().
    /// @{
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    /// @}
    /// The key of the next value in an object, escaped as needed.
    void key(std::string_view name);
    /// A JSON string of `value`, escaped as needed (`value` is UTF-8).
    void string(std::string_view value);
    /// Integers in decimal.
    /// @{
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    /// @}
    /// A double: an integral value of magnitude below 2^53 as that integer, others in the shortest
    /// form that reads back the same, non-finite ones as null.
    void number(double value);
    /// `true` or `false`.
    void boolean(bool value);
    /// `null`.
    void null();
    /// Appends already-encoded JSON as one value.
    void raw(std::string_view json);

    /// Appends `text` with JSON escapes (no quotes) to `out`.
    static void appendEscaped(std::string& out, std::string_view text);

    /// Room writeNumber needs.
    static constexpr std::size_t kMaxNumberLength = 32;
    /// Writes a finite number at `to` as number() does and returns the end. Floats keep their
    /// own shortest form (0.1f is 0.1).
    /// @{
    static char* writeNumber(char* to, double value);
    static char* writeNumber(char* to, float value);
    /// @}

  private:
    void separate();
    std::string& out_;
    std::vector<bool> first_;  // one entry per open container: no element written yet
    bool afterKey_ = false;
};

}  // namespace vk
