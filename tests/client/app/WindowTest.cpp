// The client's window with the real plug-in loaded into it: the export
// button on the frame and the action in the frame's context menu follow the
// frame's source (live or archive), the current user and a permission
// changed at run time, through the events the stand-in services post.
#include "client/app/ArchivePlayer.h"
#include "client/app/ClientHost.h"
#include "client/app/ExportScript.h"
#include "client/app/FrameWidget.h"
#include "client/app/MainWindow.h"
#include "client/archive/ArchiveComponents.h"
#include "tests/client/app/AppTestUtil.h"

#include <QAction>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QAbstractButton>
#include <QMenu>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using clientapp::ClientHost;
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
        enterFrame();
        settle();
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

    void enterFrame()
    {
        clientapp::FrameWidget *frame = window->frameWidget();
        QEnterEvent enter(QPointF(10, 10), QPointF(10, 10), frame->mapToGlobal(QPointF(10, 10)));
        QCoreApplication::sendEvent(frame, &enter);
    }
    void leaveFrame()
    {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(window->frameWidget(), &leave);
    }

    // Delivers the events the frame and the services posted.
    static void settle() { QCoreApplication::processEvents(); }

    // Both of the plug-in's controls agree; returns their enabled state.
    bool exportEnabled()
    {
        settle();
        EXPECT_EQ(button->isEnabled(), action->isEnabled());
        return button->isEnabled();
    }

    bool inContextMenu()
    {
        std::unique_ptr<QMenu> menu = window->frameWidget()->makeContextMenu();
        return menu->actions().contains(action);
    }

    ClientHost host;
    ComponentRef<IArchiveVideoSource> source;
    MainWindow *window = nullptr;
    QWidget *button = nullptr;
    QAction *action = nullptr;
};

TEST_F(Window, ExportFollowsTheFramesSource)
{
    EXPECT_TRUE(inContextMenu());
    EXPECT_EQ(button->parentWidget(), window->frameWidget());
    EXPECT_TRUE(exportEnabled());
    window->setLive(true);
    EXPECT_FALSE(exportEnabled());
    window->setLive(false);
    EXPECT_TRUE(exportEnabled());
}

TEST_F(Window, ExportFollowsTheUserAndThePermission)
{
    window->signIn(QString::fromLatin1(clientapp::kGuest));
    EXPECT_FALSE(exportEnabled());
    window->signIn(QString::fromLatin1(clientapp::kOperator));
    EXPECT_TRUE(exportEnabled());
    // Withdrawn while the operator is signed in, then given back.
    window->setExportPermission(false);
    EXPECT_FALSE(exportEnabled());
    window->setExportPermission(true);
    EXPECT_TRUE(exportEnabled());
    // The guest given the permission may export; live video still may not.
    window->signIn(QString::fromLatin1(clientapp::kGuest));
    window->setExportPermission(true);
    EXPECT_TRUE(exportEnabled());
    window->setLive(true);
    EXPECT_FALSE(exportEnabled());
}

TEST_F(Window, ControlsShowWhileThePointerIsOverTheFrame)
{
    clientapp::FrameWidget *frame = window->frameWidget();
    EXPECT_TRUE(button->isVisible());
    EXPECT_TRUE(action->isVisible());
    // In the frame's top-right corner.
    EXPECT_GT(button->x(), frame->width() / 2);
    EXPECT_LT(button->y(), frame->height() / 2);
    leaveFrame();
    settle();
    EXPECT_FALSE(button->isVisible());
    EXPECT_FALSE(action->isVisible());
    enterFrame();
    settle();
    EXPECT_TRUE(button->isVisible());
}

TEST_F(Window, PlayerShowsTheArchiveAndSkipsItsGaps)
{
    clientapp::ArchivePlayer *player = window->player();
    ASSERT_EQ(player->fragments().size(), 3u);
    QImage shown;
    QObject::connect(player, &clientapp::ArchivePlayer::pictureChanged, [&shown](const QImage &p) { shown = p; });
    // A time in the gap after the first fragment shows the second's start.
    const int64_t gapMs = player->fragments()[0].end + 500;
    player->seek(gapMs);
    EXPECT_EQ(player->positionMs(), player->fragments()[1].start);
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(shown.size(), QSize(320, 240));
}

// An archive source with nothing behind it: the plug-in cannot make an
// export engine for it.
class ReaderlessSource : public IArchiveVideoSource {
public:
    QString channelName() const override { return QStringLiteral("nothing"); }
    ComponentRef<IArchiveReader> archiveReader() override { return ComponentRef<IArchiveReader>(); }
    ComponentRef<IVideoSource> videoSource() override { return ComponentRef<IVideoSource>(); }
};

TEST(ScriptedExportInProcess, SourceWithoutReaderEndsWithTheDialogsFailedRow)
{
    QString error;
    ASSERT_TRUE(clientapp::enterDataFolder(&error)) << qPrintable(error);
    ClientHost host;
    ASSERT_TRUE(host.start(QStringLiteral(VELT_PLUGIN), -1, &error)) << qPrintable(error);
    QTemporaryDir out;
    clientapp::ExportOptions options;
    options.outDir = out.path();
    options.period = clientapp::ExportOptions::Period::All;
    clientapp::ExportScript::Outcome outcome;
    QString message;
    {
        clientapp::FrameWidget frame;
        frame.showArchive(velt::makeRef<IArchiveVideoSource>(new ReaderlessSource, "ReaderlessSource"));
        frame.attachPlugin(host.factory());
        clientapp::ExportReport report(false);
        clientapp::ExportScript script(options, report);
        outcome = script.run(qobject_cast<QAbstractButton *>(frame.pluginButton()), &message);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    host.shutdown();
    EXPECT_EQ(outcome, clientapp::ExportScript::ExportFailed);
    EXPECT_EQ(message, QStringLiteral("Error: the file cannot be created or written"));
}

}  // namespace
