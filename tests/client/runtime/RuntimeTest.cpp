// The stand-in runtime's ledger, which finds leaked and twice-released
// components for velt-client at exit and for every test binary after every
// test: were it to miss them, those checks would pass whatever happened.
#include "client/runtime/Runtime.h"

#include <gtest/gtest.h>

namespace {

TEST(Ledger, RecordsBlocksUntilRemovedAndCountsStrayRemoves)
{
    RefCounter counter{{1u}, {1u}, nullptr}, untraced{{1u}, {1u}, nullptr};
    VeltObjectTrace_Add(&counter, "first", 0);
    VeltObjectTrace_Add(&counter, "second", 1);
    const std::vector<velt::LiveBlock> live = velt::liveBlocks();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_TRUE(live[0].description == "first" && live[0].traces == 2);
    EXPECT_NE(velt::describeLiveBlocks().find("first"), std::string::npos);
    VeltObjectTrace_Remove(&counter);
    EXPECT_TRUE(velt::liveBlocks().empty());
    EXPECT_EQ(velt::strayRemoves(), 0);
    VeltObjectTrace_Remove(&counter);
    VeltObjectTrace_Remove(&untraced);
    EXPECT_EQ(velt::strayRemoves(), 2);
    velt::resetLedger();  // for the check after every test
}

}  // namespace
