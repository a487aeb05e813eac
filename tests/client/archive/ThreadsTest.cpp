// The archive read from several threads at once while the source that
// opened it is released.
#include "tests/client/archive/ArchiveTestUtil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <thread>

using namespace archivetest;

namespace {

TEST(ArchiveThreadsTest, ReadersOnSeveralThreadsOutliveTheSource)
{
    QTemporaryDir tmp;
    std::vector<std::vector<Block>> fragments(3);
    std::vector<Block> expected;
    for (int f = 0; f < 3; ++f) {
        for (int i = 0; i < 300; ++i) {
            const int64_t t = 1000 + f * 100000 + i * 20;
            fragments[f].push_back(i % 2 ? audio(t) : video(t, i % 50 == 0));
            expected.push_back(fragments[f].back());
        }
    }
    record(tmp.path() + "/a", fragments);
    for (int round = 0; round < 5; ++round) {
        ComponentRef<IArchiveReader> reader = openReader(tmp.path() + "/a");
        ASSERT_TRUE(reader);
        std::vector<std::vector<Block>> results(4);
        std::vector<std::thread> threads;
        for (auto &result : results)
            threads.emplace_back([reader, &result] { result = readToEnd(*reader); });
        reader.reset();
        for (std::thread &t : threads)
            t.join();
        for (const auto &result : results)
            EXPECT_EQ(result, expected);
    }
}

}  // namespace
