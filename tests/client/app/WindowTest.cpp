// The client's window with the real plug-in loaded into it: the export
// button on the frame and the action in the frame's context menu follow the
// pointer, the frame's source (live or archive), the current user and a
// permission changed at run time, through the events the stand-in posts.
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

TEST_F(Window, ControlsFollowThePointerTheFramesSourceTheUserAndThePermission)
{
    clientapp::FrameWidget *frame = window->frameWidget();
    EXPECT_TRUE(frame->makeContextMenu()->actions().contains(action));
    // The button sits in the frame's top-right corner.
    EXPECT_TRUE(button->parentWidget() == frame && button->x() > frame->width() / 2 && button->y() < frame->height() / 2);
    const QString guest = QString::fromLatin1(clientapp::kGuest), op = QString::fromLatin1(clientapp::kOperator);
    const struct {
        const char *what;
        std::function<void()> change;
        bool enabled, shown;
    } steps[] = {
        {"the operator on the archive", [] {}, true, true},
        {"the pointer off the frame", [this] { pointerOnFrame(false); }, true, false},
        {"the pointer back", [this] { pointerOnFrame(true); }, true, true},
        {"live video", [this] { window->setLive(true); }, false, true},
        {"the archive again", [this] { window->setLive(false); }, true, true},
        {"the guest", [&] { window->signIn(guest); }, false, true},
        {"the operator again", [&] { window->signIn(op); }, true, true},
        {"the permission withdrawn", [this] { window->setExportPermission(false); }, false, true},
        {"the permission given back", [this] { window->setExportPermission(true); }, true, true},
        {"the guest given the permission", [&] { window->signIn(guest); window->setExportPermission(true); }, true, true},
        {"the guest on live video", [this] { window->setLive(true); }, false, true},
    };
    for (const auto &step : steps) {
        step.change();
        QCoreApplication::processEvents();
        EXPECT_EQ(button->isEnabled(), step.enabled) << step.what;
        EXPECT_EQ(action->isEnabled(), step.enabled && step.shown) << step.what;  // a hidden action is disabled
        EXPECT_EQ(button->isVisible(), step.shown) << step.what;
        EXPECT_EQ(action->isVisible(), step.shown) << step.what;
    }
}

}  // namespace
