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

/// Why a value could not be decoded, and where (a plain value).
struct VK_EXPORT DecodingError {
    DecodingError() = default;
    /// An error of `kind` at `codingPath` (empty: the top level).
    DecodingError(DecodingErrorKind kind, std::string codingPath, std::string message)
        : kind(kind), codingPath(std::move(codingPath)), message(std::move(message)) {}

    /// What kind of failure it is.
    DecodingErrorKind kind = DecodingErrorKind::DataCorrupted;
    std::string codingPath;  ///< dotted path with [index] for list elements; empty at the top
    /// The description ("No value associated with key ..."), for logs and the user.
    std::string message;
    /// Platform errors: the error domain (also in `message`) and code.
    std::string domain;
    /// The error code within `domain`; 0 for decoding errors.
    int code = 0;

    /// "<kind>: <message> (coding path: <path>)", or without the path part at the top level;
    /// platform errors read "The operation couldn't be completed. (<domain> error <code>.)".
    std::string description() const;
    /// The kind's name as description() prints it (a static string).
    static const char* kindName(DecodingErrorKind kind);
    /// A Platform error of `domain` and `code`, at the top level.
    static DecodingError platformError(std::string domain, int code);
};

template <class T>
/// A decoded value or the error that stopped it (see the file comment).
class VK_EXPORT CodingResult {
  public:
    /// A result holding `value`.
    CodingResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    /// A result holding `error`.
    CodingResult(DecodingError error)
        : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    /// Whether the result holds a value (else an error).
    bool has_value() const { return state_.index() == 0; }
    /// has_value().
    explicit operator bool() const { return has_value(); }
    /// Preconditions: has_value() for value(), !has_value() for error().
    T& value() & { return std::get<0>(state_); }
    /// The value (precondition: has_value()).
    const T& value() const& { return std::get<0>(state_); }
    /// The value, moved out (precondition: has_value()).
    T&& value() && { return std::get<0>(std::move(state_)); }
    /// value().
    T& operator*() & { return value(); }
    /// value().
    const T& operator*() const& { return value(); }
    /// The value's members (precondition: has_value()).
    T* operator->() { return &value(); }
    /// The value's members (precondition: has_value()).
    const T* operator->() const { return &value(); }
    /// The error (precondition: !has_value()).
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
