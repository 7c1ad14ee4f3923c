// Idle CPU and I/O priority for the calling thread while the object lives (the automatic
// clean-up's threads), the thread's own priorities again afterwards.
#pragma once

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillo::erase {

class RNIdlePriority {
public:
    RNIdlePriority() {
        sched_param none{};
        policy_ = ::sched_getscheduler(0);
        if (policy_ < 0 || ::sched_setscheduler(0, SCHED_IDLE, &none) != 0) policy_ = -1;
        // ioprio_set(IOPRIO_WHO_PROCESS, this thread, IOPRIO_CLASS_IDLE): glibc has no wrapper.
        ioprio_ = int(::syscall(SYS_ioprio_get, kWhoProcess, 0));
        if (ioprio_ < 0 || ::syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift) != 0) ioprio_ = -1;
    }
    ~RNIdlePriority() {
        sched_param none{};
        if (policy_ >= 0) ::sched_setscheduler(0, policy_, &none);
        if (ioprio_ >= 0) ::syscall(SYS_ioprio_set, kWhoProcess, 0, ioprio_);
    }
    RNIdlePriority(const RNIdlePriority&) = delete;
    RNIdlePriority& operator=(const RNIdlePriority&) = delete;

private:
    static constexpr int kWhoProcess = 1;  // with 0: the calling thread
    static constexpr int kClassIdle = 3;
    static constexpr int kClassShift = 13;
    int policy_ = -1;
    int ioprio_ = -1;
};

}  // namespace quillo::erase
