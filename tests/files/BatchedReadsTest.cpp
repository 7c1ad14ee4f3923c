// Batched reads through io_uring and their one-call-at-a-time fallback give the same answers on
// every kind of entry, and a refused ring falls back without losing anything.
#include "files/BatchedReads.h"
#include "RingSwitch.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

using namespace quillo::files;
using namespace quillo::test;

namespace {

class BatchedReadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = env.root() + "/entries";
        makeDirs(dir);
        // More than one ring's worth of statx and of open files, of every size up to 299.
        for (int i = 0; i < 300; ++i) {
            const std::string name = "f" + std::to_string(i);
            writeFile(dir + "/" + name, std::string(size_t(i), 'x'));
            names.push_back(name);
        }
        makeDirs(dir + "/folder");
        writeFile(dir + "/big", std::string(5000, 'b'));
        ASSERT_EQ(::symlink("f10", (dir + "/link-file").c_str()), 0);
        ASSERT_EQ(::symlink("folder", (dir + "/link-folder").c_str()), 0);
        ASSERT_EQ(::symlink("nowhere", (dir + "/dangling").c_str()), 0);
        ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0644), 0);
        for (const char* odd : {"folder", "big", "link-file", "link-folder", "dangling", "fifo", "missing"})
            names.push_back(odd);
        fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
    }
    std::map<size_t, std::string> heads(BatchedReads& reads, size_t limit = 4096) {
        std::map<size_t, std::string> out;
        reads.readHeads(fd, names, limit, [&](size_t i, std::string_view bytes) {
            EXPECT_FALSE(out.count(i)) << "one answer per name";
            out[i] = std::string(bytes);
        });
        return out;
    }
    // What each name must give, whichever way it is read.
    void expectKnownStats(const std::vector<NameStat>& stats) {
        ASSERT_EQ(stats.size(), names.size());
        for (size_t i = 0; i < 300; ++i) {
            EXPECT_TRUE(stats[i].ok) << i;
            EXPECT_FALSE(stats[i].isDirectory) << i;
            EXPECT_EQ(stats[i].size, i) << i;
        }
        auto at = [&](const std::string& name) {
            for (size_t i = 0; i < names.size(); ++i)
                if (names[i] == name) return stats[i];
            return NameStat{};
        };
        EXPECT_TRUE(at("folder").isDirectory);
        EXPECT_EQ(at("big").size, 5000u);
        EXPECT_FALSE(at("link-folder").isDirectory) << "a link is never followed";
        EXPECT_EQ(at("link-folder").size, 6u);
        EXPECT_EQ(at("dangling").size, 7u);
        EXPECT_TRUE(at("fifo").ok);
        EXPECT_FALSE(at("missing").ok);
    }
    void expectKnownHeads(const std::map<size_t, std::string>& got) {
        // Files with at least one byte, links and special files left out, the big one cut short.
        EXPECT_EQ(got.size(), 299u + 1u);
        for (size_t i = 1; i < 300; ++i) {
            auto it = got.find(i);
            ASSERT_NE(it, got.end()) << i;
            EXPECT_EQ(it->second, std::string(i, 'x'));
        }
        auto big = got.find(301);
        ASSERT_NE(big, got.end());
        EXPECT_EQ(big->second, std::string(4096, 'b'));
    }
    TempHome env;
    std::string dir;
    std::vector<std::string> names;
    int fd = -1;
};

TEST_F(BatchedReadsTest, RingAndPlainCallsGiveTheSameAnswers) {
    std::vector<NameStat> plainStats;
    std::map<size_t, std::string> plainHeads;
    {
        RingSwitch off(true);
        BatchedReads plain;
        EXPECT_FALSE(plain.batched()) << "QUILLO_NO_IO_URING switches the ring off";
        for (const std::string& name : names) plainStats.push_back(BatchedReads::statName(fd, name.c_str()));
        plainHeads = heads(plain);
    }
    expectKnownStats(plainStats);
    expectKnownHeads(plainHeads);

    RingSwitch on(false);
    BatchedReads ring;
    if (!ring.batched()) GTEST_SKIP() << "io_uring is refused on this system: only the plain path was tested";
    EXPECT_EQ(heads(ring), plainHeads);
    // The same ring serves again, with a head shorter than most files.
    EXPECT_TRUE(ring.batched());
    std::map<size_t, std::string> shortHeads = heads(ring, 3);
    EXPECT_EQ(shortHeads[200], "xxx");
    EXPECT_EQ(shortHeads.size(), 300u);
}

// A process whose seccomp filter refuses io_uring (as container runtimes do) gets the plain
// calls and the same answers.
TEST_F(BatchedReadsTest, RefusedRingFallsBackToPlainCalls) {
    RingSwitch on(false);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(3);
        BatchedReads reads;
        if (reads.batched()) ::_exit(4);
        std::map<size_t, std::string> got = heads(reads);
        ::_exit(got.size() == 300 && got[42] == std::string(42, 'x') ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no seccomp, 4: ring despite the refusal, 5: stats, 6: heads";
}

}  // namespace
