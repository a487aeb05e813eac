// The video frame's export button and export action: enabled only while the
// frame plays an archive and the signed-in user may export, following the
// client's posted events; shown as the frame asks; opening the dialog.
#include "client/runtime/Components.h"
#include "client/services/Services.h"
#include "client/services/VideoFrame.h"
#include "plugin/host/Guids.h"
#include "plugin/ui/ControlButton.h"
#include "plugin/ui/MenuAction.h"
#include "tests/support/FakeArchive.h"

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
    // Posts `event` to the control alone, the managers' own events dropped.
    void postOnly(QEvent *event)
    {
        QCoreApplication::removePostedEvents(control);
        QCoreApplication::postEvent(control, event);
        deliver();
    }
    void showArchive() { frame->showArchive(fakes::archiveSource(std::make_shared<fakes::Archive>())); }
    // Opens the control's dialog; its class and parent, if one opened.
    std::pair<QString, QObject *> open()
    {
        std::pair<QString, QObject *> opened;
        QTimer::singleShot(0, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                opened = {QString::fromLatin1(modal->metaObject()->className()), modal->parentWidget()};
                static_cast<QDialog *>(modal)->reject();
            }
        });
        QMetaObject::invokeMethod(control, "onClicked");
        QCoreApplication::processEvents();
        return opened;
    }

    velt::ComponentManager manager;
    clientui::Services services;
    ComponentRef<clientui::VideoFrame> frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget host;
    Control *control = nullptr;
};

using Kinds = testing::Types<ButtonKind, ActionKind>;
TYPED_TEST_SUITE(FrameControlsTest, Kinds);

TYPED_TEST(FrameControlsTest, EnabledOnlyForAnArchiveAndTheExportPermission)
{
    auto &t = *this;
    const QString alice = QStringLiteral("alice");
    const auto permission = [&](bool granted) {
        if (granted)
            t.services.security->grant(alice, kPermission);
        else
            t.services.security->revoke(alice, kPermission);
    };
    const struct {
        const char *what;
        std::function<void()> step;
        bool enabled;
    } steps[] = {
        {"no source", [] {}, false},
        {"live video", [&] { t.frame->showLive(QStringLiteral("cam 1")); }, false},
        {"an archive", [&] { t.showArchive(); }, true},
        {"permission withdrawn", [&] { permission(false); }, false},
        {"permission granted", [&] { permission(true); }, true},
        {"another user signs in", [&] { t.services.sessions->logIn(QStringLiteral("bob")); }, false},
        {"alice signs in again", [&] { t.services.sessions->logIn(alice); }, true},
        // From here the managers' own events are dropped: only the test's count.
        {"withdrawn, told another session's change",
         [&] {
             permission(false);
             for (int i = 0; i < 16; ++i) {
                 secure::SessionId other = t.services.sessions->currentSessionId();
                 other.bytes[i] ^= 0x01;
                 t.postOnly(new secure::SecureEvent(other));
             }
         },
         true},
        {"told this session's change by a subclass",
         [&] { t.postOnly(new DerivedSecureEvent(t.services.sessions->currentSessionId())); }, false},
        {"granted, told a subclass of the user-session event",
         [&] {
             permission(true);
             t.postOnly(new DerivedUserSessionEvent);
         },
         false},
        {"told the user-session event", [&] { t.postOnly(new secure::UserSessionEvent); }, true},
        {"nothing shown, told a subclass of the frame's event",
         [&] {
             t.frame->showNothing();
             t.postOnly(new DerivedFrameEvent);
             t.postOnly(new QEvent(QEvent::Type(vo::VideoFrameGuiPluginEventType + 50)));
         },
         true},
        {"told the frame's event", [&] { t.postOnly(new vo::QEvent_VideoFrameGuiPlugin); }, false},
    };
    t.make();
    for (const auto &s : steps) {
        s.step();
        t.deliver();
        EXPECT_EQ(t.control->isEnabled(), s.enabled) << s.what;
    }
}

TYPED_TEST(FrameControlsTest, ListensToTheManagersThereAre)
{
    this->make();
    EXPECT_EQ(this->services.security->listenerCount(), 1);
    EXPECT_EQ(this->services.sessions->listenerCount(), 1);
    delete this->control;
    this->control = nullptr;
    EXPECT_EQ(this->services.security->listenerCount(), 0);
    EXPECT_EQ(this->services.sessions->listenerCount(), 0);

    // Without a security manager never enabled.
    this->showArchive();
    this->manager.removeComponent(guids::kSecureManager);
    this->make();
    EXPECT_FALSE(this->control->isEnabled());
    EXPECT_EQ(this->services.sessions->listenerCount(), 1);
    delete this->control;

    // Without a session manager security events are not asked about; a
    // user-session event still is.
    this->services.publish(&this->manager);
    this->manager.removeComponent(guids::kUserSessionManager);
    this->make();
    EXPECT_TRUE(this->control->isEnabled());
    EXPECT_EQ(this->services.sessions->listenerCount(), 0);
    this->services.security->revoke(QStringLiteral("alice"), kPermission);
    this->postOnly(new secure::SecureEvent(this->services.sessions->currentSessionId()));
    EXPECT_TRUE(this->control->isEnabled());
    this->postOnly(new secure::UserSessionEvent);
    EXPECT_FALSE(this->control->isEnabled());
}

TYPED_TEST(FrameControlsTest, VisibleAsTheFrameSays)
{
    this->frame->setPluginGuiVisible(false);
    this->make();
    EXPECT_FALSE(TypeParam::visible(this->control));
    this->frame->setPluginGuiVisible(true);
    this->postOnly(new vo::QEvent_VideoFrameGuiPlugin);
    EXPECT_TRUE(TypeParam::visible(this->control));
    // Show requests move the button only; the action ignores them.
    this->postOnly(new vo::GuiPluginShowEvent(false));
    EXPECT_EQ(TypeParam::visible(this->control), (std::is_same<TypeParam, ActionKind>::value));
}

TYPED_TEST(FrameControlsTest, OpensTheDialogForAnArchiveOnly)
{
    this->frame->showLive(QStringLiteral("cam 1"));
    this->make();
    EXPECT_EQ(this->open().first, QString());
    this->showArchive();
    const auto opened = this->open();
    EXPECT_EQ(opened.first, QStringLiteral("ExportDialog"));
    // The button is the dialog's parent; the action has no widget to offer.
    EXPECT_EQ(opened.second, (std::is_same<TypeParam, ButtonKind>::value ? this->control : nullptr));
}

using ButtonTest = FrameControlsTest<ButtonKind>;

TEST_F(ButtonTest, ShowRequestsWithinWhatTheFrameAllows)
{
    make();
    // Asked to show while the frame keeps its controls hidden: stays hidden.
    frame->setPluginGuiVisible(false);
    deliver();
    postOnly(new vo::GuiPluginShowEvent(true));
    EXPECT_TRUE(control->isHidden());
    // Asked to hide while the frame shows them: hidden until the next update.
    frame->setPluginGuiVisible(true);
    postOnly(new vo::GuiPluginShowEvent(false));
    EXPECT_TRUE(control->isHidden());
    frame->showNothing();
    deliver();
    EXPECT_FALSE(control->isHidden());
}

TEST(FrameControlsLook, TranslatedTextAndIcon)
{
    velt::registerTranslator();
    velt::ComponentManager manager;
    auto frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget host;
    // The icon is found relative to the client's working directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(velt::dataDir()));
    ControlButton button(&manager, ComponentRef<IVideoFrame>(frame), 0, &host);
    QDir::setCurrent(previous);
    EXPECT_EQ(button.toolTip(), QStringLiteral("Export archive"));
    EXPECT_TRUE(button.icon().availableSizes().contains(QSize(16, 16)));
    EXPECT_TRUE(button.autoRaise());
    MenuAction action(&manager, ComponentRef<IVideoFrame>(frame), 0, &host);
    EXPECT_EQ(action.text(), QStringLiteral("Export archive"));
    EXPECT_TRUE(host.actions().contains(&action));
}

}  // namespace
