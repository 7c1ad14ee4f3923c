// Switches the io_uring path of batched reads off (QUILLO_NO_IO_URING) or on for one scope.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quillo::test {

class RingSwitch {
public:
    explicit RingSwitch(bool off) {
        if (const char* v = std::getenv("QUILLO_NO_IO_URING")) saved_ = v;
        if (off) ::setenv("QUILLO_NO_IO_URING", "1", 1);
        else ::unsetenv("QUILLO_NO_IO_URING");
    }
    ~RingSwitch() {
        if (saved_) ::setenv("QUILLO_NO_IO_URING", saved_->c_str(), 1);
        else ::unsetenv("QUILLO_NO_IO_URING");
    }
    RingSwitch(const RingSwitch&) = delete;
    RingSwitch& operator=(const RingSwitch&) = delete;

private:
    std::optional<std::string> saved_;
};

}  // namespace quillo::test
