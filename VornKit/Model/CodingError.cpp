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
    }
    return "dataCorrupted";
}

std::string DecodingError::description() const {
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
