// Sets environment variables for one test and puts the previous values back (and ICU's default
// time zone with them) when it goes out of scope.
#pragma once

#include "util/LocaleEnvironment.h"

#include <cstdlib>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>

namespace quillo::test {

class ScopedEnvironment {
public:
    // Every locale variable starts unset, so the machine's own settings never leak in.
    ScopedEnvironment() {
        for (const char* name : {"LC_ALL", "LC_NUMERIC", "LC_TIME", "LC_MESSAGES", "LANG", "LANGUAGE", "TZ"}) unset(name);
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        quillo::util::refreshDefaultTimeZone();
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }
    // TZ and ICU's default zone together.
    void setTimeZone(const std::string& zone) {
        set("TZ", zone);
        quillo::util::refreshDefaultTimeZone();
    }

private:
    void save(const std::string& name) {
        if (saved_.count(name)) return;
        const char* value = std::getenv(name.c_str());
        saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace quillo::test
