// References to one object copied, converted and released on two threads at
// once: no count may be lost or released twice.
#include "client/runtime/Runtime.h"
#include "tests/support/FakeArchive.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(ComponentRefThreads, ConcurrentCopiesAndReleasesKeepTheCountExact)
{
    constexpr int kRounds = 200000;
    constexpr int kConversionEvery = 1000;
    ComponentRef<IVideoSource> shared(fakes::archiveSource(std::make_shared<fakes::Archive>()));
    std::atomic<bool> go{false};
    const auto work = [&] {
        while (!go.load()) {
        }
        for (int i = 0; i < kRounds; ++i) {
            ComponentRef<IVideoSource> copy(shared);
            if (i % kConversionEvery == 0 && !ComponentRef<IArchiveVideoSource>(copy))
                ADD_FAILURE() << "conversion failed";
        }
    };
    std::thread first(work), second(work);
    go = true;
    first.join();
    second.join();
    // One reference left; the block traced at its making, at the conversion
    // to `shared` and at each conversion of the threads.
    EXPECT_EQ(std::make_pair(shared._counter->strong.load(), shared._counter->weak.load()), std::make_pair(1u, 1u));
    ASSERT_EQ(velt::liveBlocks().size(), 1u);
    EXPECT_EQ(velt::liveBlocks()[0].traces, 2 + 2 * kRounds / kConversionEvery);
    shared.reset();
    EXPECT_TRUE(velt::liveBlocks().empty());
    EXPECT_EQ(velt::strayRemoves(), 0);
}

}  // namespace
