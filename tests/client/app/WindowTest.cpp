// The client's window with the real plug-in loaded into it: the export
// button on the frame and the action in the frame's context menu follow the
// frame's source (live or archive), the current user and a permission
// changed at run time, through the events the stand-in services post.
#include "client/app/ClientHost.h"
#include "client/app/FrameWidget.h"
#include "client/app/MainWindow.h"
#include "client/archive/ArchiveComponents.h"
#include "tests/client/app/AppTestUtil.h"

#include <QAction>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QMenu>
#include <functional>
#include <gtest/gtest.h>

namespace {

using clientapp::MainWindow;

class Window : public testing::Test {
protected:
    void SetUp() override
    {
        const QString archiveDir = apptest::sampleArchive();
        ASSERT_FALSE(archiveDir.isEmpty());
        QString error;
        ASSERT_TRUE(clientapp::enterDataFolder(&error)) << qPrintable(error);
        ASSERT_TRUE(host.start(QStringLiteral(VELT_PLUGIN), -1, &error)) << qPrintable(error);
        source = archive::openSource(archiveDir, &error);
        ASSERT_TRUE(source) << qPrintable(error);
        window = new MainWindow(host, source, QStringLiteral("test"));
        window->show();
        // The action is only enabled while it is shown, which is while the
        // pointer is over the frame, as it is for a right click.
        pointerOnFrame(true);
        button = window->frameWidget()->pluginButton();
        ASSERT_NE(button, nullptr);
        ASSERT_EQ(window->frameWidget()->pluginActions().size(), 1);
        action = window->frameWidget()->pluginActions().first();
    }
    void TearDown() override
    {
        delete window;
        source.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        host.shutdown();
    }

    // The pointer enters or leaves the frame, and the events posted are delivered.
    void pointerOnFrame(bool on)
    {
        clientapp::FrameWidget *frame = window->frameWidget();
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), frame->mapToGlobal(QPointF(10, 10)));
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(frame, on ? static_cast<QEvent *>(&enter) : &leave);
        QCoreApplication::processEvents();
    }

    clientapp::ClientHost host;
    ComponentRef<IArchiveVideoSource> source;
    MainWindow *window = nullptr;
    QWidget *button = nullptr;
    QAction *action = nullptr;
};

TEST_F(Window, ExportFollowsTheFramesSourceTheUserAndThePermission)
{
    const QString guest = QString::fromLatin1(clientapp::kGuest), op = QString::fromLatin1(clientapp::kOperator);
    const struct {
        const char *what;
        std::function<void(MainWindow *)> change;
        bool enabled;
    } steps[] = {
        {"the operator on the archive", [](MainWindow *) {}, true},
        {"live video", [](MainWindow *w) { w->setLive(true); }, false},
        {"the archive again", [](MainWindow *w) { w->setLive(false); }, true},
        {"the guest", [&](MainWindow *w) { w->signIn(guest); }, false},
        {"the operator again", [&](MainWindow *w) { w->signIn(op); }, true},
        {"the permission withdrawn", [](MainWindow *w) { w->setExportPermission(false); }, false},
        {"the permission given back", [](MainWindow *w) { w->setExportPermission(true); }, true},
        {"the guest given the permission", [&](MainWindow *w) { w->signIn(guest); w->setExportPermission(true); }, true},
        {"the guest on live video", [](MainWindow *w) { w->setLive(true); }, false},
    };
    for (const auto &step : steps) {
        step.change(window);
        QCoreApplication::processEvents();
        EXPECT_EQ(button->isEnabled(), step.enabled) << step.what;
        EXPECT_EQ(action->isEnabled(), step.enabled) << step.what;
    }
}

TEST_F(Window, ControlsShowWhileThePointerIsOverTheFrame)
{
    clientapp::FrameWidget *frame = window->frameWidget();
    EXPECT_TRUE(frame->makeContextMenu()->actions().contains(action));
    EXPECT_EQ(button->parentWidget(), frame);
    // In the frame's top-right corner.
    EXPECT_GT(button->x(), frame->width() / 2);
    EXPECT_LT(button->y(), frame->height() / 2);
    EXPECT_TRUE(button->isVisible() && action->isVisible());
    pointerOnFrame(false);
    EXPECT_FALSE(button->isVisible() || action->isVisible());
    pointerOnFrame(true);
    EXPECT_TRUE(button->isVisible() && action->isVisible());
}

TEST(ClientWindow, OpensTheExportDialogFromTheFrameAndLeavesNothingAlive)
{
    const QString archive = apptest::sampleArchive();
    ASSERT_FALSE(archive.isEmpty());
    const clienttest::ProcessRun run =
        clienttest::runProcess(VELT_CLIENT, {archive, "--open-export-dialog-after-ms", "400", "--quit-after-ms", "1200"});
    EXPECT_EQ(run.exitCode, 0) << qPrintable(run.err);
    EXPECT_TRUE(run.out.contains("closing the open dialog ExportDialog")) << qPrintable(run.out);
    EXPECT_FALSE(run.err.contains("components still alive")) << qPrintable(run.err);
}

}  // namespace
