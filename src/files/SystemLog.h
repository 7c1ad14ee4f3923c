// The platform's log for internal failures: syslog, and standard error when no syslog daemon
// listens (so the line is never lost). Tests can capture lines with a sink.
#pragma once

#include <functional>
#include <string>

namespace quillo::files {

void systemLog(const std::string& line);

// Replaces where lines go (nullptr restores the default); returns the previous sink.
using SystemLogSink = std::function<void(const std::string&)>;
SystemLogSink setSystemLogSink(SystemLogSink sink);

}  // namespace quillo::files
