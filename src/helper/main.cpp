// quillo3-helper: started as root by the system bus when a client calls it; exits after a quiet
// minute (QUILLO_HELPER_IDLE_SECONDS or --idle-seconds N changes that, for tests).
#include "files/SystemLog.h"
#include "helper/RNHelperTool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

bool parseSeconds(std::string_view text, long& out) {
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 1 || value > 86400) return false;
    out = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long idleSeconds = 60;
    if (const char* env = std::getenv("QUILLO_HELPER_IDLE_SECONDS"); env && *env && !parseSeconds(env, idleSeconds))
        quillo::files::systemLog("quillo3-helper: QUILLO_HELPER_IDLE_SECONDS ignored: not 1 to 86400");
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--idle-seconds" && i + 1 < argc && parseSeconds(argv[i + 1], idleSeconds)) {
            ++i;
        } else if (arg == "--version") {
            quillo::helper::RNHelperTool tool;
            tool.getVersionWithReply([](const std::string& version) { std::printf("%s\n", version.c_str()); });
            return 0;
        } else {
            std::fprintf(stderr, "usage: %s [--idle-seconds N] [--version]\n", argv[0]);
            return 2;
        }
    }
    ::umask(022);
    if (::chdir("/") != 0) return 1;
    std::signal(SIGPIPE, SIG_IGN);
    if (::geteuid() != 0) quillo::files::systemLog("quillo3-helper: not running as root; erasing will mostly fail");

    quillo::helper::RNHelperTool tool{std::chrono::seconds(idleSeconds)};
    return tool.run();
}
