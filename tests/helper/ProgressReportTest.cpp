// What one run tells its caller, as the loop takes it: the items listed within their bound, the
// failures past the first few only counted, the end only once everything before it was taken.
#include "helper/ProgressReport.h"

#include <gtest/gtest.h>

#include <string>

using quillo::helper::ProgressReport;

TEST(HelperProgressReport, FailuresPastTheFirstFewAreCountedAndTheEndComesLast) {
    int news = 0;
    ProgressReport report(10, [&] { ++news; });
    // Three erased items between many failures (a failure leaves the count as it was).
    report.itemsErased(11, 100, 100, "/t/files/a");
    for (int i = 0; i < 1000; ++i) report.itemsErased(11, 100, 0, "/t/files/refused" + std::to_string(i));
    report.itemsErased(12, 150, 50, "/t/files/b");
    EXPECT_EQ(news, 1) << "the loop is woken once per emptied report, not per item";

    ProgressReport::Batch batch = report.take(1u << 20);
    ASSERT_EQ(batch.items.size(), 1 + ProgressReport::kListedFailures + 1);
    EXPECT_EQ(batch.items.front().path, "/t/files/a");
    EXPECT_EQ(batch.items.front().count, 11u);
    EXPECT_EQ(batch.items[1].path, "/t/files/refused0");
    EXPECT_EQ(batch.items.back().path, "/t/files/b");
    EXPECT_EQ(batch.items.back().totSize, 150u);
    EXPECT_EQ(batch.unlisted, 1000 - ProgressReport::kListedFailures);
    EXPECT_EQ(batch.count, 12u);
    EXPECT_TRUE(batch.hasProgress);
    EXPECT_FALSE(batch.finished);

    // Later failures of the same run are not listed either; an emptied report wakes the loop again.
    report.itemsErased(12, 150, 0, "/t/files/late");
    EXPECT_EQ(news, 2);
    report.finishedWithNonErasedCount(1001);
    batch = report.take(1u << 20);
    EXPECT_TRUE(batch.items.empty());
    EXPECT_EQ(batch.unlisted, 1u);
    EXPECT_TRUE(batch.finished);
    EXPECT_EQ(batch.notErased, 1001u);
    EXPECT_TRUE(report.ended());
    batch = report.take(1u << 20);
    EXPECT_FALSE(batch.finished || batch.hasProgress) << "the end is given once";
}

TEST(HelperProgressReport, WaitingItemsAreBoundedAndTakenInSlices) {
    ProgressReport report(0);
    const std::string path(1000, 'p');
    const size_t fits = ProgressReport::kMaxWaitingBytes / path.size();
    for (size_t i = 0; i < fits + 500; ++i) report.itemsErased(i + 1, i + 1, 1, path);
    report.finishedWithNonErasedCount(0);

    // A slice of at most the bytes asked for (at least one item), in order; the end only after
    // the last slice.
    size_t listed = 0;
    uint64_t unlisted = 0, lastCount = 0;
    bool finished = false;
    for (int slices = 0; !finished; ++slices) {
        ASSERT_LT(slices, 10000);
        ProgressReport::Batch batch = report.take(64 * 1024);
        EXPECT_LE(batch.items.size(), 65u);  // 64 KiB of 1000-byte paths
        for (const auto& item : batch.items) {
            EXPECT_GT(item.count, lastCount);
            lastCount = item.count;
        }
        listed += batch.items.size();
        unlisted += batch.unlisted;
        finished = batch.finished;
        if (finished) {
            EXPECT_EQ(batch.count, fits + 500);
        }
    }
    EXPECT_EQ(listed, fits);
    EXPECT_EQ(unlisted, 500u);

    // A caller that reads nothing: what waits is dropped and counted, and nothing more is listed.
    ProgressReport stalled(0);
    for (int i = 0; i < 10; ++i) stalled.itemsErased(i + 1, 0, 0, path);
    stalled.dropItems();
    stalled.itemsErased(11, 0, 0, path);
    ProgressReport::Batch batch = stalled.take(1u << 20);
    EXPECT_TRUE(batch.items.empty());
    EXPECT_EQ(batch.unlisted, 11u);
    EXPECT_EQ(batch.count, 11u);
}
