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
#include <QTimer>
#include <gtest/gtest.h>

namespace {

const char kPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";

// Events that look like the client's but are subclasses of them.
class DerivedFrameEvent : public vo::QEvent_VideoFrameGuiPlugin {};
class DerivedUserSessionEvent : public secure::UserSessionEvent {};
class DerivedSecureEvent : public secure::SecureEvent {
public:
    using secure::SecureEvent::SecureEvent;
};

bool visible(ControlButton *button) { return !button->isHidden(); }
bool visible(MenuAction *action) { return action->isVisible(); }

template <class Control>
class FrameControlsTest : public testing::Test {
protected:
    static constexpr bool kButton = std::is_same<Control, ControlButton>::value;
    using Step = std::tuple<const char *, std::function<void()>, bool>;

    void SetUp() override
    {
        velt::registerTranslator();
        services.publish(&manager);
        services.sessions->logIn(QStringLiteral("alice"));
        permission(true);
        deliver();
    }
    void TearDown() override
    {
        delete control;
        manager.clear();
    }

    void make()
    {
        delete control;
        control = new Control(&manager, ComponentRef<IVideoFrame>(frame), 3, &host);
        frame->addPluginObject(control);
    }
    static void deliver() { QCoreApplication::sendPostedEvents(); }
    void permission(bool granted)
    {
        granted ? services.security->grant(QStringLiteral("alice"), kPermission)
                : services.security->revoke(QStringLiteral("alice"), kPermission);
    }
    // Delivers `event` to the control alone, the managers' and the frame's
    // own events dropped.
    void postOnly(QEvent *event)
    {
        QCoreApplication::removePostedEvents(control);
        QCoreApplication::postEvent(control, event);
        deliver();
    }
    void showArchive() { frame->showArchive(fakes::archiveSource(std::make_shared<fakes::Archive>())); }
    // Runs each step and then what it posted; `state` is to be as expected.
    void run(const std::vector<Step> &steps, const std::function<bool()> &state)
    {
        for (const auto &[what, step, expected] : steps) {
            step();
            deliver();
            EXPECT_EQ(state(), expected) << what;
        }
    }
    // The class and parent of the dialog the control opens, if one opens.
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

using Controls = testing::Types<ControlButton, MenuAction>;
TYPED_TEST_SUITE(FrameControlsTest, Controls);

TYPED_TEST(FrameControlsTest, EnabledOnlyForAnArchiveAndTheExportPermission)
{
    auto &t = *this;
    const auto session = [&] { return t.services.sessions->currentSessionId(); };
    t.make();
    t.run({{"no source", [] {}, false},
           {"live video", [&] { t.frame->showLive(QStringLiteral("cam 1")); }, false},
           {"an archive", [&] { t.showArchive(); }, true},
           {"another user signs in", [&] { t.services.sessions->logIn(QStringLiteral("bob")); }, false},
           {"alice signs in again", [&] { t.services.sessions->logIn(QStringLiteral("alice")); }, true},
           // From here the managers' and the frame's own events are dropped.
           {"withdrawn, told of sessions a byte apart",
            [&] {
                t.permission(false);
                for (int i = 0; i < 16; ++i) {
                    secure::SessionId other = session();
                    other.bytes[i] ^= 0x01;
                    t.postOnly(new secure::SecureEvent(other));
                }
            },
            true},
           {"told of this session by a subclass", [&] { t.postOnly(new DerivedSecureEvent(session())); }, false},
           {"granted, told by a subclass of the user-session event",
            [&] { t.permission(true); t.postOnly(new DerivedUserSessionEvent); }, false},
           {"told the user-session event", [&] { t.postOnly(new secure::UserSessionEvent); }, true},
           {"nothing shown, told by a subclass of the frame's event and one of another type",
            [&] {
                t.frame->showNothing();
                t.postOnly(new DerivedFrameEvent);
                t.postOnly(new QEvent(QEvent::Type(vo::VideoFrameGuiPluginEventType + 50)));
            },
            true},
           {"told the frame's event", [&] { t.postOnly(new vo::QEvent_VideoFrameGuiPlugin); }, false}},
          [&] { return t.control->isEnabled(); });
}

TYPED_TEST(FrameControlsTest, ListensToTheManagersThereAre)
{
    auto &t = *this;
    t.showArchive();
    t.make();
    EXPECT_EQ(t.services.security->listenerCount() + t.services.sessions->listenerCount(), 2);
    delete t.control;
    t.control = nullptr;
    EXPECT_EQ(t.services.security->listenerCount() + t.services.sessions->listenerCount(), 0);
    // Without a security manager never enabled.
    t.manager.removeComponent(guids::kSecureManager);
    t.make();
    EXPECT_FALSE(t.control->isEnabled());
    // Without a session manager security events are not asked about; a
    // user-session event still is.
    t.services.publish(&t.manager);
    t.manager.removeComponent(guids::kUserSessionManager);
    t.make();
    EXPECT_EQ(t.services.sessions->listenerCount(), 0);
    t.run({{"told of this session",
            [&] { t.permission(false); t.postOnly(new secure::SecureEvent(t.services.sessions->currentSessionId())); }, true},
           {"told the user-session event", [&] { t.postOnly(new secure::UserSessionEvent); }, false}},
          [&] { return t.control->isEnabled(); });
}

// Visible as the frame says; show requests move the button only, within
// what the frame allows, until the frame's next update.
TYPED_TEST(FrameControlsTest, VisibleAsTheFrameSays)
{
    auto &t = *this;
    const bool button = t.kButton;
    t.make();
    t.run({{"the frame hides them", [&] { t.frame->setPluginGuiVisible(false); }, !button},
           {"asked to show", [&] { t.postOnly(new vo::GuiPluginShowEvent(true)); }, !button},
           {"told the frame's state", [&] { t.postOnly(new vo::QEvent_VideoFrameGuiPlugin); }, false},
           {"the frame shows them, asked to hide",
            [&] { t.frame->setPluginGuiVisible(true); t.postOnly(new vo::GuiPluginShowEvent(false)); }, false},
           {"told the frame's state", [&] { t.postOnly(new vo::QEvent_VideoFrameGuiPlugin); }, true}},
          [&] { return visible(t.control); });
}

TYPED_TEST(FrameControlsTest, OpensTheDialogForAnArchiveOnly)
{
    this->frame->showLive(QStringLiteral("cam 1"));
    this->make();
    EXPECT_EQ(this->open().first, QString());
    this->showArchive();
    // The button is the dialog's parent; the action has no widget to offer.
    const std::pair<QString, QObject *> opened{"ExportDialog", this->kButton ? this->control : nullptr};
    EXPECT_EQ(this->open(), opened);
}

}  // namespace
