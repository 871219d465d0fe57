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

class VK_EXPORT JsonWriter {
  public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);
    void string(std::string_view value);
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    void number(double value);
    void boolean(bool value);
    void null();
    /// Appends already-encoded JSON as one value.
    void raw(std::string_view json);

    static void appendEscaped(std::string& out, std::string_view text);

    /// Room writeNumber needs.
    static constexpr std::size_t kMaxNumberLength = 32;
    /// Writes a finite number at `to` as number() does and returns the end. Floats keep their
    /// own shortest form (0.1f is 0.1).
    static char* writeNumber(char* to, double value);
    static char* writeNumber(char* to, float value);

  private:
    void separate();
    std::string& out_;
    std::vector<bool> first_;  // one entry per open container: no element written yet
    bool afterKey_ = false;
};

}  // namespace vk
