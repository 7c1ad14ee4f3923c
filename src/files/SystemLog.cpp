#include "files/SystemLog.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace quillo::files {

namespace {
std::mutex gLogMutex;
SystemLogSink gSink;
}  // namespace

void systemLog(const std::string& line) {
    std::lock_guard lock(gLogMutex);
    if (gSink) {
        gSink(line);
        return;
    }
    ::syslog(LOG_ERR, "%s", line.c_str());
    struct stat st;
    if (::stat("/dev/log", &st) != 0) std::fprintf(stderr, "%s\n", line.c_str());
}

SystemLogSink setSystemLogSink(SystemLogSink sink) {
    std::lock_guard lock(gLogMutex);
    SystemLogSink previous = std::move(gSink);
    gSink = std::move(sink);
    return previous;
}

}  // namespace quillo::files
