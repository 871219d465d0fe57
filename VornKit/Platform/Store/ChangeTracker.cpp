#include "VornKit/Platform/Store/ChangeTracker.h"

#include <algorithm>

namespace vk {

bool ChangeTracker::changed(const ManagedObject& object, size_t index, const StoreValue& current) {
    if (index >= object.savedValues_.size()) {
        return true;
    }
    if (current == object.savedValues_[index]) {
        return false;
    }
    if (entity_.attributes[index].kind == AttributeKind::ToOne) {
        return true;
    }
    return current != fetchedForm(object, index);
}

const StoreValue& ChangeTracker::fetchedForm(const ManagedObject& object, size_t index) {
    for (const auto& [i, value] : object.fetchedForms_) {
        if (i == index) {
            return value;
        }
    }
    if (!scratch_) {
        scratch_ = entity_.make();
    }
    scratch_->setStoreValue(index, object.savedValues_[index]);
    object.fetchedForms_.emplace_back(index, scratch_->storeValue(index));
    return object.fetchedForms_.back().second;
}

void ChangeTracker::forgetFetchedForm(const ManagedObject& object, size_t index) {
    auto& forms = object.fetchedForms_;
    forms.erase(std::remove_if(forms.begin(), forms.end(),
                               [&](const auto& form) { return form.first == index; }),
                forms.end());
}

}  // namespace vk
