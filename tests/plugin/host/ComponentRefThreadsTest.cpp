// References to one object copied, converted and released on two threads at
// once: no count may be lost or released twice.
#include "tests/plugin/host/CountedSource.h"
#include "tests/plugin/host/TraceRecorder.h"

#include "client/runtime/Runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

std::atomic<int> g_destroyed{0};

TEST(ComponentRefThreads, ConcurrentCopiesAndReleasesKeepTheCountExact)
{
    constexpr int kRounds = 200000;
    constexpr int kConversionEvery = 1000;
    g_destroyed = 0;
    tracerecorder::clear();
    ComponentRef<IVideoSource> shared = velt::makeRef<IVideoSource>(new CountedSource(&g_destroyed), "shared source");
    const RefCounter *counter = shared._counter;

    std::atomic<bool> go{false};
    auto work = [&] {
        while (!go.load()) {
        }
        for (int i = 0; i < kRounds; ++i) {
            ComponentRef<IVideoSource> copy(shared);
            if (i % kConversionEvery == 0) {
                ComponentRef<IArchiveVideoSource> converted(copy);
                ASSERT_TRUE(converted);
            }
        }
    };
    std::thread first(work);
    std::thread second(work);
    go = true;
    first.join();
    second.join();

    EXPECT_EQ(shared._counter->strong.load(), 1u);
    EXPECT_EQ(shared._counter->weak.load(), 1u);
    EXPECT_EQ(g_destroyed.load(), 0);
    EXPECT_EQ(tracerecorder::removesOf(counter), 0);
    shared.reset();
    EXPECT_EQ(g_destroyed.load(), 1);
    EXPECT_EQ(tracerecorder::removesOf(counter), 1);
    EXPECT_EQ(velt::strayRemoves(), 0);
}

}  // namespace
