// The bounded-descriptor tree walk and the removal built on it, on real trees: wide and deep
// trees walked with very few open folders, chains deeper than the descriptor limit, a folder
// moved away during a walk.
#include "files/FileRemoval.h"
#include "files/FolderWalk.h"
#include "files/TreeWalk.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

using namespace quillo::files;
using namespace quillo::test;

namespace {

// A full binary tree of folders `levels` deep with a file in every folder.
void makeBinaryTree(const std::string& dir, int levels) {
    makeDirs(dir);
    writeFile(dir + "/file", "12345");
    if (levels == 0) return;
    makeBinaryTree(dir + "/l", levels - 1);
    makeBinaryTree(dir + "/r", levels - 1);
}

struct Seen {
    std::vector<std::string> items, ends;
    size_t maxOpen = 0;
};

Seen walkAll(const std::string& dir, size_t maxOpen) {
    Seen seen;
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    TreeWalk walk(fd, maxOpen);
    TreeWalk::Event e;
    while (walk.next(e)) {
        if (e.kind == TreeWalk::Kind::Item) {
            seen.items.push_back(walk.relativePath());
            if (e.type == DT_DIR) {
                EXPECT_EQ(walk.enter(), 0) << walk.relativePath();
            }
        } else {
            seen.ends.push_back(walk.relativePath());
        }
        seen.maxOpen = std::max(seen.maxOpen, walk.openFolders());
    }
    EXPECT_EQ(walk.movedCount(), 0u);
    ::close(fd);
    return seen;
}

class TreeWalkTest : public ::testing::Test {
protected:
    TempHome env;
    std::string root = env.root() + "/tree";
};

}  // namespace

TEST_F(TreeWalkTest, FewOpenFoldersSeeTheSameTreeAsMany) {
    makeBinaryTree(root, 7);
    const Seen many = walkAll(root, 64);
    const Seen few = walkAll(root, 3);
    EXPECT_EQ(many.items.size(), size_t((1 << 8) - 1) + size_t((1 << 8) - 2));  // files + folders below root
    EXPECT_EQ(std::set<std::string>(few.items.begin(), few.items.end()),
              std::set<std::string>(many.items.begin(), many.items.end()));
    EXPECT_EQ(std::set<std::string>(few.ends.begin(), few.ends.end()),
              std::set<std::string>(many.ends.begin(), many.ends.end()));
    EXPECT_EQ(few.ends.size(), size_t((1 << 8) - 2));
    EXPECT_LE(few.maxOpen, 3u);
    // Every folder ends after everything below it.
    for (size_t i = 0; i < few.ends.size(); ++i)
        for (size_t j = i + 1; j < few.ends.size(); ++j)
            EXPECT_NE(few.ends[j].rfind(few.ends[i] + "/", 0), 0u) << few.ends[j] << " after " << few.ends[i];
}

TEST_F(TreeWalkTest, RemovesAChainDeeperThanTheDescriptorLimit) {
    ScopedFileLimit limit(64);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(makeDeepChain(root, 1500));  // paths of ~3 kB pass PATH_MAX at depth ~2,000
    writeFile(env.root() + "/beside", "stays");
    EXPECT_FALSE(removeItemAtPath(root));
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(readFile(env.root() + "/beside"), "stays");
}

// With a high descriptor limit (common in containers) a recursive removal runs out of stack long
// before it runs out of descriptors. The limit is raised as far as this machine allows, the
// chain is twice as deep, and the removal runs on a thread with a small stack.
TEST_F(TreeWalkTest, RemovesAChainDeeperThanARaisedLimitOnASmallStack) {
    struct rlimit current;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &current), 0);
    const uint64_t raised = std::min<uint64_t>(current.rlim_max, 1u << 20);
    ScopedFileLimit limit(raised);
    ASSERT_TRUE(limit.ok());
    ASSERT_TRUE(makeDeepChain(root, size_t(raised) * 2, "d", "bottom"));
    std::error_code result = std::make_error_code(std::errc::interrupted);
    pthread_attr_t attr;
    ASSERT_EQ(::pthread_attr_init(&attr), 0);
    ASSERT_EQ(::pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto body = [](void* arg) -> void* {
        auto* target = static_cast<std::pair<std::string, std::error_code>*>(arg);
        target->second = removeItemAtPath(target->first);
        return nullptr;
    };
    std::pair<std::string, std::error_code> job{root, result};
    ASSERT_EQ(::pthread_create(&thread, &attr, body, &job), 0);
    ::pthread_join(thread, nullptr);
    ::pthread_attr_destroy(&attr);
    EXPECT_FALSE(job.second) << job.second.message();
    EXPECT_FALSE(exists(root));
}

TEST_F(TreeWalkTest, AFolderMovedAwayDuringTheWalkIsNotFollowedBackUp) {
    // root/a/b/c/d/e/f with a file in each; three open folders at most, so that a and b are
    // released while the walk is at the bottom.
    std::string path = root;
    makeDirs(root);
    for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
        path += std::string("/") + name;
        makeDirs(path);
        writeFile(path + "/file", "x");
    }
    writeFile(root + "/z-sibling", "y");
    const std::string outside = env.root() + "/outside";
    makeDirs(outside);
    writeFile(outside + "/victim", "keep");

    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    TreeWalk walk(fd, 3);
    TreeWalk::Event e;
    bool moved = false, sawMovedEnd = false;
    while (walk.next(e)) {
        if (e.kind == TreeWalk::Kind::FolderEnd) {
            if (e.moved) {
                sawMovedEnd = true;
                EXPECT_STREQ(e.name, "a");
            } else if (!e.kept) {
                ::unlinkat(e.dirFd, e.name, AT_REMOVEDIR);
            }
            continue;
        }
        if (e.depth == 7 && !moved) {
            ASSERT_EQ(::rename((root + "/a/b").c_str(), (outside + "/b").c_str()), 0);
            moved = true;
        }
        if (e.type == DT_DIR) ASSERT_EQ(walk.enter(), 0);
        else ::unlinkat(e.dirFd, e.name, 0);
    }
    ::close(fd);
    EXPECT_TRUE(moved);
    EXPECT_TRUE(sawMovedEnd);
    EXPECT_EQ(walk.movedCount(), 1u);
    EXPECT_TRUE(exists(root + "/a"));  // abandoned, not removed
    EXPECT_EQ(readFile(outside + "/victim"), "keep");
    EXPECT_FALSE(exists(root + "/z-sibling")) << "the walk goes on with the rest of its own folder";
}

// The walk with several workers (a queue of folders) gives exactly the totals of one worker,
// on a tree both wide and deep.
TEST_F(TreeWalkTest, SeveralWorkersGiveTheSameTotalsAsOne) {
    makeBinaryTree(root, 6);
    for (int i = 0; i < 40; ++i) {
        const std::string wide = root + "/wide" + std::to_string(i);
        makeDirs(wide);
        for (int j = 0; j < i; ++j) writeFile(wide + "/f" + std::to_string(j), std::string(size_t(j), 'w'));
    }
    ASSERT_TRUE(makeDeepChain(root + "/chain", 300));
    WalkTotals one;
    ASSERT_TRUE(walkFolder(root, one, 1));
    for (unsigned workers : {2u, 3u, 4u}) {
        for (int round = 0; round < 3; ++round) {
            WalkTotals many;
            ASSERT_TRUE(walkFolder(root, many, workers));
            EXPECT_EQ(many.entries, one.entries) << workers;
            EXPECT_EQ(many.totalSize, one.totalSize) << workers;
            EXPECT_EQ(many.fileSize, one.fileSize) << workers;
        }
    }
    EXPECT_EQ(one.entries, 253u + 40u + 780u + 302u);
}

// Hand-offs between workers change nothing on the odd parts of a tree: links are counted as
// themselves, every name of a hard-linked file counts, special files count, an unreadable folder
// counts one and is not entered, and wide levels of small folders are shared out.
TEST_F(TreeWalkTest, SeveralWorkersAgreeOnOddTrees) {
    makeDirs(root);
    ::chmod(env.root().c_str(), 0755);
    ::chmod(root.c_str(), 0755);
    for (int i = 0; i < 200; ++i) {
        const std::string d = root + "/small" + std::to_string(i);
        makeDirs(d + "/inner");
        writeFile(d + "/inner/f", std::string(size_t(i % 13), 's'));
        if (i % 3 == 0) {
            ASSERT_EQ(::symlink("..", (d + "/up").c_str()), 0);
        }
        if (i % 5 == 0) {
            ASSERT_EQ(::link((d + "/inner/f").c_str(), (d + "/hard").c_str()), 0);
        }
    }
    // Many files in one folder.
    makeDirs(root + "/many");
    uint64_t manySize = 0;
    for (int i = 0; i < 600; ++i) {
        writeFile(root + "/many/m" + std::to_string(i), std::string(size_t(i % 17), 'm'));
        manySize += uint64_t(i % 17);
    }
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/", (root + "/to-root").c_str()), 0);
    makeDirs(root + "/closed/below", 0755);
    writeFile(root + "/closed/below/secret", std::string(77, 'c'));
    ::chmod((root + "/closed").c_str(), 0700);

    auto compare = [&](WalkTotals& one) {
        if (!walkFolder(root, one, 1)) return 1;
        for (unsigned workers : {2u, 4u}) {
            for (int round = 0; round < 3; ++round) {
                WalkTotals many;
                if (!walkFolder(root, many, workers)) return 2;
                if (many.entries != one.entries || many.totalSize != one.totalSize || many.fileSize != one.fileSize)
                    return 3;
            }
        }
        return 0;
    };
    WalkTotals asOwner;
    ASSERT_EQ(compare(asOwner), 0);
    // 200 x (folder, inner, f) + 67 links + 40 hard links + many and its 600 files + fifo +
    // to-root + closed, below, secret
    EXPECT_EQ(asOwner.entries, 600u + 67u + 40u + 601u + 2u + 3u);
    uint64_t expectedSize = manySize + 1 + 77 + 67 * 2;
    for (int i = 0; i < 200; ++i) expectedSize += uint64_t(i % 13) * (i % 5 == 0 ? 2 : 1);
    EXPECT_EQ(asOwner.totalSize, expectedSize);
    EXPECT_EQ(asOwner.fileSize, expectedSize);
    if (!isRoot()) GTEST_SKIP() << "the unreadable folder needs root to switch to an unprivileged user";
    int rc = runAsNobody([&] {
        WalkTotals asNobody;
        if (const int c = compare(asNobody)) return c;
        return asNobody.entries == asOwner.entries - 2 && asNobody.totalSize == asOwner.totalSize - 77 ? 0 : 4;
    });
    EXPECT_EQ(rc, 0) << "1-3: walks disagree, 4: the closed folder was entered or miscounted";
}
