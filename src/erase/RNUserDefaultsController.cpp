#include "erase/RNUserDefaultsController.h"

namespace quillo::erase {

RNUserDefaultsController& RNUserDefaultsController::sharedUserDefaultsController() {
    static auto* controller = new RNUserDefaultsController();
    return *controller;
}

RNDictionary RNUserDefaultsController::initialValues() const {
    std::lock_guard lock(mutex_);
    return initialValues_;
}

void RNUserDefaultsController::setInitialValues(const RNDictionary& values) {
    std::lock_guard lock(mutex_);
    initialValues_ = values;
}

void RNUserDefaultsController::revertToInitialValues(const std::vector<std::string>& keys) {
    RNDictionary initial = initialValues();
    for (const std::string& key : keys) {
        auto it = initial.find(key);
        if (it != initial.end())
            defaults().setObject(key, it->second);
        else
            defaults().removeObjectForKey(key);
    }
}

}  // namespace quillo::erase
