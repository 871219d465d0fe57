// Coding errors and results of the record coders (JSON and keyed archives).
//
// A DecodingError carries one of the decoder's error kinds, the coding path to the value that
// failed (for example "Items[3].MediaSources[0].MediaStreams") and a readable message. Its
// description() is the text log lines print after "Error deserializing ..." and the like.
//
// CodingResult<T> is what a decoder returns: the value, or the error (never both, never neither).
//
// Thread rule: plain values; externally synchronised.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "VornKit/Export.h"

namespace vk {

enum class DecodingErrorKind {
    KeyNotFound,    ///< a required key is missing
    ValueNotFound,  ///< a required value is null
    TypeMismatch,   ///< a value of the wrong JSON or archive type
    DataCorrupted,  ///< unreadable input, a number out of its field's range, an unknown case
    Platform,       ///< a platform error with a domain and a code (see DecodingError::domain)
};

struct VK_EXPORT DecodingError {
    DecodingError() = default;
    DecodingError(DecodingErrorKind kind, std::string codingPath, std::string message)
        : kind(kind), codingPath(std::move(codingPath)), message(std::move(message)) {}

    DecodingErrorKind kind = DecodingErrorKind::DataCorrupted;
    std::string codingPath;  ///< dotted path with [index] for list elements; empty at the top
    std::string message;
    /// Platform errors: the error domain (also in `message`) and code.
    std::string domain;
    int code = 0;

    /// "<kind>: <message> (coding path: <path>)", or without the path part at the top level;
    /// platform errors read "The operation couldn't be completed. (<domain> error <code>.)".
    std::string description() const;
    static const char* kindName(DecodingErrorKind kind);
    static DecodingError platformError(std::string domain, int code);
};

template <class T>
class VK_EXPORT CodingResult {
  public:
    CodingResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    CodingResult(DecodingError error)
        : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool has_value() const { return state_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    /// Preconditions: has_value() for value(), !has_value() for error().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const DecodingError& error() const { return std::get<1>(state_); }

    /// The value, or absent on an error (the error is dropped).
    std::optional<T> toOptional() && {
        if (!has_value())
            return std::nullopt;
        return std::optional<T>(std::get<0>(std::move(state_)));
    }

  private:
    std::variant<T, DecodingError> state_;
};

}  // namespace vk
