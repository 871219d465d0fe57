#include "VornKit/Model/JsonOutput.h"

#include <charconv>
#include <cmath>

#include "VornKit/Model/ByteWords.h"
#include "VornKit/Model/FieldTable.h"
#include "VornKit/Platform/Coding/JsonWriter.h"
#include "VornKit/Platform/Runtime/VirtualMemory.h"

namespace vk {

namespace {

// The string is extended (zero-filled) this much at a time, so the filling stays in cache.
constexpr std::size_t kStep = 64 * 1024;
constexpr std::size_t kLargeBuffer = 4 << 20;

using bytewords::escapeBits;
using bytewords::load64;

/// Writes the escapes of `text` at `to`; returns the end. `to` has room for 6 bytes per byte.
char* writeEscaped(char* to, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
        // Copy the run without escapes a word at a time.
        while (end - p >= 8) {
            std::uint64_t bits = escapeBits(load64(p));
            if (bits) {
                auto n = static_cast<std::size_t>(__builtin_ctzll(bits) / 8);
                std::memcpy(to, p, n);
                to += n;
                p += n;
                break;
            }
            std::memcpy(to, p, 8);
            to += 8;
            p += 8;
        }
        if (p == end)
            break;
        auto c = static_cast<unsigned char>(*p++);
        if (c >= 0x20 && c != '"' && c != '\\') {
            *to++ = static_cast<char>(c);
            continue;
        }
        *to++ = '\\';
        switch (c) {
            case '"':
                *to++ = '"';
                break;
            case '\\':
                *to++ = '\\';
                break;
            case '\n':
                *to++ = 'n';
                break;
            case '\r':
                *to++ = 'r';
                break;
            case '\t':
                *to++ = 't';
                break;
            case '\b':
                *to++ = 'b';
                break;
            case '\f':
                *to++ = 'f';
                break;
            default:
                std::memcpy(to, "u00", 3);
                to[3] = kHex[c >> 4];
                to[4] = kHex[c & 0xF];
                to += 5;
        }
    }
    return to;
}

}  // namespace

JsonOutput::JsonOutput(std::string& out, const JsonWriteOptions& options)
    : out_(out), options_(options) {
    cursor_ = out_.data() + out_.size();
    limit_ = cursor_;
}

void JsonOutput::reserve(std::size_t bytes) {
    std::size_t used = static_cast<std::size_t>(cursor_ - out_.data());
    if (out_.capacity() < used + bytes) {
        out_.resize(used);
        out_.reserve(used + bytes);
        adviseLargeBuffer();
        cursor_ = out_.data() + used;
        limit_ = cursor_;
    }
}

void JsonOutput::grow(std::size_t bytes) {
    std::size_t used = static_cast<std::size_t>(cursor_ - out_.data());
    std::size_t want = used + bytes;
    if (want > out_.capacity()) {
        out_.resize(used);
        out_.reserve(std::max(want + kStep, out_.capacity() * 2));
        adviseLargeBuffer();
    }
    out_.resize(std::min(out_.capacity(), std::max(want, used + kStep)));
    cursor_ = out_.data() + used;
    limit_ = out_.data() + out_.size();
}

void JsonOutput::adviseLargeBuffer() {
    // A document of many megabytes is written once into fresh memory: huge pages spare most
    // of its page faults, and its start, before the first huge page, is mapped in one call
    // (no further than a sixth of the reservation, which the output is all but sure to reach).
    if (out_.capacity() >= kLargeBuffer) {
        VirtualMemory::adviseHugePages(out_.data(), out_.capacity());
        VirtualMemory::mapHead(out_.data(), out_.capacity() / 6);
    }
}

void JsonOutput::finish() {
    if (finished_)
        return;
    finished_ = true;
    out_.resize(static_cast<std::size_t>(cursor_ - out_.data()));
}

void JsonOutput::key(std::string_view name) {
    ensure(name.size() * 6 + 4);
    separate();
    *cursor_++ = '"';
    cursor_ = writeEscaped(cursor_, name);
    *cursor_++ = '"';
    *cursor_++ = ':';
    comma_ = false;
}

void JsonOutput::escapedString(std::string_view value) {
    ensure(value.size() * 6 + 3);
    separate();
    *cursor_++ = '"';
    cursor_ = writeEscaped(cursor_, value);
    *cursor_++ = '"';
}

void JsonOutput::integer(std::int64_t value) {
    ensure(22);
    separate();
    cursor_ = std::to_chars(cursor_, cursor_ + 21, value).ptr;
}

void JsonOutput::number(double value) {
    finiteNumber(value);
}

void JsonOutput::number(float value) {
    finiteNumber(value);
}

template <class Real>
void JsonOutput::finiteNumber(Real value) {
    if (!std::isfinite(value)) {
        options_.invalidValue = true;
        null();
        return;
    }
    ensure(JsonWriter::kMaxNumberLength + 1);
    separate();
    cursor_ = JsonWriter::writeNumber(cursor_, value);
}

char* writeJsonKey(char* to, std::string_view key) {
    *to++ = '"';
    to = writeEscaped(to, key);
    *to++ = '"';
    *to++ = ':';
    return to;
}

void JsonOutput::appendEscaped(std::string& out, std::string_view text) {
    std::size_t used = out.size();
    out.resize(used + text.size() * 6);
    char* end = writeEscaped(out.data() + used, text);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace vk
