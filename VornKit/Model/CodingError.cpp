#include "VornKit/Model/CodingError.h"

namespace vk {

const char* DecodingError::kindName(DecodingErrorKind kind) {
    switch (kind) {
        case DecodingErrorKind::KeyNotFound:
            return "keyNotFound";
        case DecodingErrorKind::ValueNotFound:
            return "valueNotFound";
        case DecodingErrorKind::TypeMismatch:
            return "typeMismatch";
        case DecodingErrorKind::DataCorrupted:
            return "dataCorrupted";
        case DecodingErrorKind::Platform:
            return "platformError";
    }
    return "dataCorrupted";
}

DecodingError DecodingError::platformError(std::string domain, int code) {
    DecodingError error;
    error.kind = DecodingErrorKind::Platform;
    error.message = domain;
    error.domain = std::move(domain);
    error.code = code;
    return error;
}

std::string DecodingError::description() const {
    if (kind == DecodingErrorKind::Platform) {
        return "The operation couldn't be completed. (" + domain + " error " +
               std::to_string(code) + ".)";
    }
    std::string text = kindName(kind);
    text += ": ";
    text += message;
    if (!codingPath.empty()) {
        text += " (coding path: ";
        text += codingPath;
        text += ")";
    }
    return text;
}

}  // namespace vk
