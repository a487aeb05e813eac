// The stand-in runtime's ledger finds the components left alive and those
// released twice, for velt-client at exit and after every test: were it to
// miss them, those checks would pass whatever happened.
#include "client/runtime/Runtime.h"

#include <gtest/gtest.h>

TEST(Ledger, RecordsBlocksUntilRemovedAndCountsStrayRemoves)
{
    RefCounter counter{{1u}, {1u}, nullptr}, untraced{{1u}, {1u}, nullptr};
    VeltObjectTrace_Add(&counter, "first", 0);
    VeltObjectTrace_Add(&counter, "second", 1);
    ASSERT_EQ(velt::liveBlocks().size(), 1u);
    EXPECT_EQ(velt::liveBlocks()[0].traces, 2);
    EXPECT_NE(velt::describeLiveBlocks().find("first"), std::string::npos);
    VeltObjectTrace_Remove(&counter);
    EXPECT_TRUE(velt::liveBlocks().empty() && velt::strayRemoves() == 0);
    VeltObjectTrace_Remove(&counter);
    VeltObjectTrace_Remove(&untraced);
    EXPECT_EQ(velt::strayRemoves(), 2);
    velt::resetLedger();  // for the check after every test
}
