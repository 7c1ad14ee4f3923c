// The controller that the preferences window binds to: a set of initial values under the user
// defaults that individual keys can be reverted to.
#pragma once

#include "erase/RNUserDefaults.h"
#include "erase/RNValue.h"

#include <mutex>
#include <string>
#include <vector>

namespace quillo::erase {

class RNUserDefaultsController {
public:
    // Without explicit defaults the controller works on standardUserDefaults() as it is at
    // each call.
    explicit RNUserDefaultsController(RNUserDefaults* defaults = nullptr) : defaults_(defaults) {}

    // The controller of the standard user defaults, made on first use.
    static RNUserDefaultsController& sharedUserDefaultsController();

    RNUserDefaults& defaults() const {
        return defaults_ ? *defaults_ : RNUserDefaults::standardUserDefaults();
    }
    RNDictionary initialValues() const;
    void setInitialValues(const RNDictionary& values);

    // Each key goes back to its initial value; a key without one is removed from the persistent
    // domain, so that it reads its registered default again.
    void revertToInitialValues(const std::vector<std::string>& keys);

private:
    RNUserDefaults* defaults_;
    mutable std::mutex mutex_;
    RNDictionary initialValues_;
};

}  // namespace quillo::erase
