// The video frame's export button and export action: enabled state from the
// frame's source and the permission, the client's posted events, show
// requests, listener registration, and the dialog each of them opens.
#include "client/services/Services.h"
#include "client/services/VideoFrame.h"
#include "client/runtime/Components.h"
#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"
#include "tests/plugin/ui/FakeSource.h"
#include "plugin/ui/ControlButton.h"
#include "plugin/ui/MenuAction.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

const char kPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";

struct ButtonKind {
    using Control = ControlButton;
    static bool visible(Control *c) { return !c->isHidden(); }
};
struct ActionKind {
    using Control = MenuAction;
    static bool visible(Control *c) { return c->isVisible(); }
};

// Events that look like the client's but are subclasses of them.
class DerivedFrameEvent : public vo::QEvent_VideoFrameGuiPlugin {};
class DerivedUserSessionEvent : public secure::UserSessionEvent {};
class DerivedSecureEvent : public secure::SecureEvent {
public:
    using secure::SecureEvent::SecureEvent;
};

template <class Kind>
class FrameControlsTest : public testing::Test {
protected:
    using Control = typename Kind::Control;

    void SetUp() override
    {
        velt::registerTranslator();
        services.publish(&manager);
        services.sessions->logIn(QStringLiteral("alice"));
        services.security->grant(QStringLiteral("alice"), kPermission);
        deliver();
    }
    void TearDown() override
    {
        delete control;
        manager.clear();
    }

    void make()
    {
        control = new Control(&manager, ComponentRef<IVideoFrame>(frame), 3, &host);
        frame->addPluginObject(control);
    }
    static void deliver() { QCoreApplication::sendPostedEvents(); }
    bool enabled() const { return control->isEnabled(); }
    bool visible() const { return Kind::visible(control); }
    void showArchive() { frame->showArchive(fakes::archiveSource(std::make_shared<fakes::ArchiveBounds>())); }
    // Changes alice's permission while dropping the managers' own events, so
    // that only the events a test posts itself can tell the control.
    void revokeSilently()
    {
        services.security->revoke(QStringLiteral("alice"), kPermission);
        QCoreApplication::removePostedEvents(control);
    }

    velt::ComponentManager manager;
    clientui::Services services;
    ComponentRef<clientui::VideoFrame> frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget host;
    Control *control = nullptr;
};

using Kinds = testing::Types<ButtonKind, ActionKind>;
TYPED_TEST_SUITE(FrameControlsTest, Kinds);

TYPED_TEST(FrameControlsTest, NeedsAnArchiveSource)
{
    this->make();
    EXPECT_FALSE(this->enabled());  // no source
    this->frame->showLive(QStringLiteral("cam 1"));
    this->deliver();
    EXPECT_FALSE(this->enabled());  // live video
    this->showArchive();
    EXPECT_FALSE(this->enabled());  // not told yet
    this->deliver();
    EXPECT_TRUE(this->enabled());
    this->frame->showNothing();
    this->deliver();
    EXPECT_FALSE(this->enabled());
}

TYPED_TEST(FrameControlsTest, FollowsThePermissionOfTheCurrentSession)
{
    this->showArchive();
    this->make();
    EXPECT_TRUE(this->enabled());
    this->services.security->revoke(QStringLiteral("alice"), kPermission);
    this->deliver();
    EXPECT_FALSE(this->enabled());
    this->services.security->grant(QStringLiteral("alice"), kPermission);
    this->deliver();
    EXPECT_TRUE(this->enabled());
    // Changes for another user's session are not asked about.
    this->services.security->grant(QStringLiteral("bob"), kPermission);
    this->deliver();
    EXPECT_TRUE(this->enabled());
}

TYPED_TEST(FrameControlsTest, SecureEventOfAnotherSessionIsIgnored)
{
    this->showArchive();
    this->make();
    this->revokeSilently();
    const secure::SessionId current = this->services.sessions->currentSessionId();
    for (int i = 0; i < 16; ++i) {
        secure::SessionId other = current;
        other.bytes[i] ^= 0x01;
        QCoreApplication::postEvent(this->control, new secure::SecureEvent(other));
    }
    this->deliver();
    EXPECT_TRUE(this->enabled()) << "a session differing in one byte was taken for the current one";
    // A subclass of SecureEvent for the current session counts.
    QCoreApplication::postEvent(this->control, new DerivedSecureEvent(current));
    this->deliver();
    EXPECT_FALSE(this->enabled());
}

TYPED_TEST(FrameControlsTest, UserChangeAsksAgain)
{
    this->showArchive();
    this->make();
    this->services.sessions->logIn(QStringLiteral("bob"));
    this->deliver();
    EXPECT_FALSE(this->enabled());
    this->services.sessions->logIn(QStringLiteral("alice"));
    this->deliver();
    EXPECT_TRUE(this->enabled());
}

TYPED_TEST(FrameControlsTest, ExactEventTypesOnly)
{
    this->make();
    this->showArchive();
    QCoreApplication::removePostedEvents(this->control);
    QCoreApplication::postEvent(this->control, new DerivedFrameEvent);
    QCoreApplication::postEvent(this->control, new QEvent(QEvent::Type(vo::VideoFrameGuiPluginEventType + 50)));
    this->deliver();
    EXPECT_FALSE(this->enabled());
    QCoreApplication::postEvent(this->control, new vo::QEvent_VideoFrameGuiPlugin);
    this->deliver();
    EXPECT_TRUE(this->enabled());

    this->revokeSilently();
    QCoreApplication::postEvent(this->control, new DerivedUserSessionEvent);
    this->deliver();
    EXPECT_TRUE(this->enabled());
    QCoreApplication::postEvent(this->control, new secure::UserSessionEvent);
    this->deliver();
    EXPECT_FALSE(this->enabled());
}

TYPED_TEST(FrameControlsTest, WithoutSecurityManagerNeverEnabled)
{
    this->manager.removeComponent(guids::kSecureManager);
    this->showArchive();
    this->make();
    EXPECT_FALSE(this->enabled());
    EXPECT_EQ(this->services.security->listenerCount(), 0);
    EXPECT_EQ(this->services.sessions->listenerCount(), 1);
    this->services.sessions->logIn(QStringLiteral("bob"));
    this->services.sessions->logIn(QStringLiteral("alice"));
    this->deliver();
    EXPECT_FALSE(this->enabled());
}

TYPED_TEST(FrameControlsTest, WithoutSessionManagerSecureEventsAreIgnored)
{
    this->manager.removeComponent(guids::kUserSessionManager);
    this->showArchive();
    this->make();
    EXPECT_TRUE(this->enabled());
    EXPECT_EQ(this->services.sessions->listenerCount(), 0);
    this->services.security->revoke(QStringLiteral("alice"), kPermission);
    QCoreApplication::postEvent(this->control, new secure::SecureEvent(this->services.sessions->currentSessionId()));
    this->deliver();
    EXPECT_TRUE(this->enabled());
    // A user-session event still asks again.
    QCoreApplication::postEvent(this->control, new secure::UserSessionEvent);
    this->deliver();
    EXPECT_FALSE(this->enabled());
}

TYPED_TEST(FrameControlsTest, ListensFromConstructionToDestruction)
{
    this->make();
    EXPECT_EQ(this->services.security->listenerCount(), 1);
    EXPECT_EQ(this->services.sessions->listenerCount(), 1);
    delete this->control;
    this->control = nullptr;
    EXPECT_EQ(this->services.security->listenerCount(), 0);
    EXPECT_EQ(this->services.sessions->listenerCount(), 0);
}

TYPED_TEST(FrameControlsTest, VisibleAsTheFrameSays)
{
    this->frame->setPluginGuiVisible(false);
    this->make();
    EXPECT_FALSE(this->visible());
    this->frame->setPluginGuiVisible(true);
    QCoreApplication::removePostedEvents(this->control);
    QCoreApplication::postEvent(this->control, new vo::QEvent_VideoFrameGuiPlugin);
    this->deliver();
    EXPECT_TRUE(this->visible());
}

using ButtonControlsTest = FrameControlsTest<ButtonKind>;
using ActionControlsTest = FrameControlsTest<ActionKind>;

TEST_F(ButtonControlsTest, ShowRequests)
{
    make();
    EXPECT_FALSE(control->isHidden());
    frame->setPluginGuiVisible(false);
    deliver();
    EXPECT_TRUE(control->isHidden());
    frame->setPluginGuiVisible(true);
    deliver();
    EXPECT_FALSE(control->isHidden());
    // Asked to show while the frame keeps its controls hidden: stays hidden.
    frame->setPluginGuiVisible(false);
    deliver();
    QCoreApplication::postEvent(control, new vo::GuiPluginShowEvent(true));
    deliver();
    EXPECT_TRUE(control->isHidden());
    // Asked to hide while the frame shows them: hidden until the next update.
    frame->setPluginGuiVisible(true);
    QCoreApplication::removePostedEvents(control);
    QCoreApplication::postEvent(control, new vo::GuiPluginShowEvent(false));
    deliver();
    EXPECT_TRUE(control->isHidden());
    frame->showNothing();
    deliver();
    EXPECT_FALSE(control->isHidden());
}

TEST_F(ActionControlsTest, ShowRequestsAreIgnored)
{
    make();
    frame->setPluginGuiVisible(false);
    deliver();
    EXPECT_TRUE(control->isVisible());
}

TEST(FrameControlsLookTest, ButtonAndActionTexts)
{
    velt::registerTranslator();
    velt::ComponentManager manager;
    auto frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget host;
    // The icon is found relative to the client's working directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(velt::dataDir()));
    auto *button = new ControlButton(&manager, ComponentRef<IVideoFrame>(frame), 0, &host);
    QDir::setCurrent(previous);
    EXPECT_TRUE(button->autoRaise());
    EXPECT_EQ(button->toolTip(), zkTranslation("MSGS_EXPORT_ARCHIVE"));
    ASSERT_FALSE(button->icon().isNull());
    EXPECT_TRUE(button->icon().availableSizes().contains(QSize(16, 16)));
    EXPECT_EQ(button->parentWidget(), &host);

    auto *action = new MenuAction(&manager, ComponentRef<IVideoFrame>(frame), 0, &host);
    EXPECT_EQ(action->text(), zkTranslation("MSGS_EXPORT_ARCHIVE"));
    EXPECT_TRUE(action->icon().isNull());
    EXPECT_TRUE(action->toolTip() == action->text());  // Qt's default: no tool tip of its own
    EXPECT_EQ(action->parent(), &host);
    EXPECT_TRUE(host.actions().contains(action));
    delete action;
    delete button;
}

// Opens the dialog and reports what it found: its class and its parent.
struct CaughtDialog {
    bool found = false;
    QString className;
    QObject *parent = nullptr;
};

void catchDialog(CaughtDialog *caught)
{
    QTimer::singleShot(0, [caught] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        caught->found = true;
        caught->className = QString::fromLatin1(modal->metaObject()->className());
        caught->parent = modal->parentWidget();
        static_cast<QDialog *>(modal)->reject();
    });
}

TYPED_TEST(FrameControlsTest, OpensTheDialogForTheArchiveSource)
{
    this->showArchive();
    this->make();
    CaughtDialog caught;
    catchDialog(&caught);
    ASSERT_TRUE(QMetaObject::invokeMethod(this->control, "onClicked"));
    ASSERT_TRUE(caught.found);
    EXPECT_EQ(caught.className, QStringLiteral("ExportDialog"));
    if (std::is_same<TypeParam, ButtonKind>::value)
        EXPECT_EQ(caught.parent, this->control);
    else
        EXPECT_EQ(caught.parent, nullptr);
}

TYPED_TEST(FrameControlsTest, OpensNothingWithoutArchiveSource)
{
    this->frame->showLive(QStringLiteral("cam 1"));
    this->make();
    CaughtDialog caught;
    catchDialog(&caught);
    ASSERT_TRUE(QMetaObject::invokeMethod(this->control, "onClicked"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(caught.found);
}

}  // namespace
