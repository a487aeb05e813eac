// The stand-in client's security services, archive panel manager and video
// frame: what they publish, answer and post.
#include "client/services/Services.h"
#include "client/services/VideoFrame.h"
#include "client/runtime/Components.h"
#include "plugin/host/Guids.h"
#include "tests/support/Ledger.h"
#include "tests/plugin/ui/FakeSource.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <memory>
#include <typeinfo>

namespace {

const char kPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";

// Records the events posted to it.
class Recorder : public QObject {
public:
    std::vector<std::string> types;
    std::vector<secure::SessionId> sessions;
    std::vector<bool> shows;

protected:
    void customEvent(QEvent *event) override
    {
        types.push_back(typeid(*event).name());
        if (auto *e = dynamic_cast<secure::SecureEvent *>(event))
            sessions.push_back(e->sessionId);
        if (auto *e = dynamic_cast<vo::GuiPluginShowEvent *>(event))
            shows.push_back(e->show);
    }
};

std::string nameOf(const std::type_info &type) { return type.name(); }

TEST(ClientServicesTest, PublishedUnderTheirGuids)
{
    velt::ComponentManager manager;
    clientui::Services services;
    services.publish(&manager);
    EXPECT_TRUE(ComponentRef<secure::ISecureManager>(manager.getComponent(guids::kSecureManager)));
    EXPECT_TRUE(ComponentRef<secure::IUserSessionManager>(manager.getComponent(guids::kUserSessionManager)));
    EXPECT_TRUE(ComponentRef<IArchivePanelManager>(manager.getComponent(guids::kArchivePanelManager)));
    services.unpublish(&manager);
    EXPECT_FALSE(manager.getComponent(guids::kSecureManager));
}

TEST(ClientServicesTest, PermissionsFollowTheCurrentUser)
{
    clientui::Services services;
    Recorder a, b;
    services.security->addListener(&a);
    services.security->addListener(&b);
    {
        Recorder dropped;
        services.security->addListener(&dropped);  // destroyed without unregistering
    }
    EXPECT_FALSE(services.security->hasPermission(kPermission));  // nobody logged in
    services.sessions->logIn(QStringLiteral("alice"));
    services.security->grant(QStringLiteral("alice"), kPermission);
    services.security->grant(QStringLiteral("alice"), kPermission);  // no change, no event
    services.security->grant(QStringLiteral("bob"), "OTHER/PERMISSION");
    EXPECT_TRUE(services.security->hasPermission(kPermission));
    services.sessions->logIn(QStringLiteral("bob"));
    EXPECT_FALSE(services.security->hasPermission(kPermission));
    services.security->revoke(QStringLiteral("alice"), kPermission);
    services.security->revoke(QStringLiteral("alice"), kPermission);  // no change, no event
    services.security->removeListener(&b);
    services.security->grant(QStringLiteral("alice"), kPermission);
    QCoreApplication::sendPostedEvents();

    const secure::SessionId alice = services.sessions->sessionOf(QStringLiteral("alice"));
    const secure::SessionId bob = services.sessions->sessionOf(QStringLiteral("bob"));
    EXPECT_NE(alice, bob);
    EXPECT_EQ(services.sessions->currentSessionId(), bob);
    EXPECT_EQ(a.sessions, (std::vector<secure::SessionId>{alice, bob, alice, alice}));
    EXPECT_EQ(b.sessions, (std::vector<secure::SessionId>{alice, bob, alice}));
}

TEST(ClientServicesTest, UserChangesArePosted)
{
    clientui::Services services;
    Recorder listener;
    services.sessions->addListener(&listener);
    services.sessions->logIn(QStringLiteral("alice"));
    services.sessions->logIn(QStringLiteral("alice"));
    services.sessions->logIn(QStringLiteral("bob"));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(listener.types, (std::vector<std::string>(2, nameOf(typeid(secure::UserSessionEvent)))));
    services.sessions->removeListener(&listener);
    EXPECT_EQ(services.sessions->listenerCount(), 0);
}

TEST(ClientServicesTest, FrameSourcesAndEvents)
{
    auto frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    Recorder plugin;
    frame->addPluginObject(&plugin);
    EXPECT_FALSE(frame->videoSource());

    frame->showLive(QStringLiteral("cam 1"));
    ComponentRef<IVideoSource> live = frame->videoSource();
    ASSERT_TRUE(live);
    EXPECT_FALSE(ComponentRef<IArchiveVideoSource>(live));
    EXPECT_FALSE(live->archiveReader());
    live.reset();

    auto bounds = std::make_shared<fakes::ArchiveBounds>();
    ComponentRef<IArchiveVideoSource> archive = fakes::archiveSource(bounds);
    frame->showArchive(archive);
    ComponentRef<IArchiveVideoSource> shown(frame->videoSource());
    EXPECT_EQ(shown.get(), archive.get());
    EXPECT_EQ(shown._counter, archive._counter);
    shown.reset();
    archive.reset();
    EXPECT_EQ(testsupport::liveCount("fakes::Source"), 1);  // the frame still shows it
    frame->showNothing();
    EXPECT_EQ(testsupport::liveCount("fakes::Source"), 0);

    frame->setPluginGuiVisible(false);
    EXPECT_FALSE(frame->isPluginGuiVisible());
    frame->removePluginObject(&plugin);
    frame->setPluginGuiVisible(true);
    QCoreApplication::sendPostedEvents();
    const std::string sourceChanged = nameOf(typeid(vo::QEvent_VideoFrameGuiPlugin));
    EXPECT_EQ(plugin.types, (std::vector<std::string>{sourceChanged, sourceChanged, sourceChanged,
                                                      nameOf(typeid(vo::GuiPluginShowEvent))}));
    EXPECT_EQ(plugin.shows, std::vector<bool>{false});
}

TEST(ClientServicesTest, ArchivePanelCountsExports)
{
    clientui::Services services;
    ComponentRef<IArchivePanelManager> panel(services.archivePanel);
    panel->refresh();
    panel->exportStarted();
    panel->exportStarted();
    EXPECT_EQ(services.archivePanel->exportsStarted(), 2);
}

}  // namespace
