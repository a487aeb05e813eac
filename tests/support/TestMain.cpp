// GoogleTest main for every test binary: a QApplication (offscreen by
// default) so that widgets, timers and posted events work, and a check after
// every test that it left no live component behind in the runtime's ledger.
#include "client/runtime/Runtime.h"

#include <QApplication>
#include <gtest/gtest.h>

namespace {

class LedgerListener : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo &) override { velt::resetLedger(); }
    void OnTestEnd(const testing::TestInfo &) override
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(velt::liveBlocks().empty()) << "components still alive:\n" << velt::describeLiveBlocks();
        EXPECT_EQ(velt::strayRemoves(), 0) << "a counter block was released more than once";
    }
};

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new LedgerListener);
    return RUN_ALL_TESTS();
}
