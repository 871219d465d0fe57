#include "VornKit/Platform/Defaults/UserDefaultsValue.h"

#include <cmath>

namespace vk {

bool DefaultsValue::operator==(const DefaultsValue& other) const {
    return value == other.value;
}

bool DefaultsValue::isStorable() const {
    if (const auto* number = std::get_if<double>(&value))
        return std::isfinite(*number);
    if (const auto* dictionary = std::get_if<DefaultsDictionary>(&value)) {
        for (const auto& [key, element] : *dictionary) {
            if (!element.isStorable())
                return false;
        }
    }
    return true;
}

}  // namespace vk
