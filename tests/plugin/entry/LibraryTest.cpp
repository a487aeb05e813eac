// The plug-in as the client sees it: the shared library, loaded with dlopen
// and used only through its three exported entry points.
#include "client/runtime/Components.h"
#include "client/services/Services.h"
#include "client/services/VideoFrame.h"
#include "plugin/host/Component.h"
#include "plugin/host/VideoFrame.h"
#include "tests/support/FakeArchive.h"

#include <QAction>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QToolButton>
#include <cstdint>
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

// The entry points, looked up once; the library stays loaded, since Qt keeps
// the meta-objects of its classes.
struct Library {
    void *handle = dlopen(EXPORTARCHIVE_PATH, RTLD_NOW | RTLD_LOCAL);
    void (*myName)(const char **, uint32_t *, int) = reinterpret_cast<decltype(myName)>(symbol("VeltMyName"));
    void (*getObject)(IComponent **, int) = reinterpret_cast<decltype(getObject)>(symbol("VeltGetObject"));
    void (*deleteObject)(IComponent **, int) = reinterpret_cast<decltype(deleteObject)>(symbol("VeltDeleteObject"));

    void *symbol(const char *name) const { return handle ? dlsym(handle, name) : nullptr; }
};

const Library &library()
{
    static const Library lib;
    return lib;
}

class LibraryTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(lib.myName && lib.getObject && lib.deleteObject) << dlerror();
        velt::registerTranslator();
        services.publish(&manager);
        services.sessions->logIn(QStringLiteral("alice"));
        services.security->grant(QStringLiteral("alice"), "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE");
        lib.getObject(&component, 1721);
        factory = dynamic_cast<vo::IVideoFrameGuiPluginFactory *>(component);
        ASSERT_NE(factory, nullptr);
        EXPECT_TRUE(component->init(velt::makeRef<ISettings>(new velt::Settings, "velt::Settings"), &manager));
        frame->showArchive(fakes::archiveSource(std::make_shared<fakes::Archive>()));
    }
    void TearDown() override
    {
        if (component)
            lib.deleteObject(&component, 1721);
        delete host;
        manager.clear();
    }

    const Library &lib = library();
    velt::ComponentManager manager;
    clientui::Services services;
    ComponentRef<clientui::VideoFrame> frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget *host = new QWidget;
    IComponent *component = nullptr;
    vo::IVideoFrameGuiPluginFactory *factory = nullptr;
};

TEST_F(LibraryTest, NameAndObjectsOnlyForItsVersion)
{
    for (int version : {1721, 1720}) {
        const char *name = "unset";
        uint32_t value = 0;
        lib.myName(&name, &value, version);
        EXPECT_STREQ(name, version == 1721 ? "base.videoframe.ExportArchive" : nullptr);
        EXPECT_EQ(value, 1u);
    }
    IComponent *held = reinterpret_cast<IComponent *>(uintptr_t(0x1234));
    lib.getObject(&held, 1722);
    EXPECT_EQ(held, nullptr);
    lib.deleteObject(&held, 1721);  // a holder of null is left alone
    lib.getObject(&held, 1721);
    ASSERT_NE(held, nullptr);
    // The wrong version deletes nothing (a deletion here would be a double one below).
    lib.deleteObject(&held, 1720);
    IComponent *const factory = held;
    lib.deleteObject(&held, 1721);
    EXPECT_EQ(held, factory);  // the holder keeps its value
}

TEST_F(LibraryTest, ButtonsAndActionsForAFrame)
{
    // The button's icon is found relative to the client's working directory.
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(velt::dataDir()));
    auto *first = qobject_cast<QToolButton *>(factory->createButton(ComponentRef<IVideoFrame>(frame), host, nullptr));
    QDir::setCurrent(previous);
    QWidget *second = factory->createButton(ComponentRef<IVideoFrame>(frame), host, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);
    EXPECT_EQ(first->parentWidget(), host);
    EXPECT_TRUE(first->isEnabled());
    EXPECT_EQ(first->toolTip(), QStringLiteral("Export archive"));
    EXPECT_TRUE(first->icon().availableSizes().contains(QSize(16, 16)));

    const QList<QAction *> actions = factory->createActions(ComponentRef<IVideoFrame>(frame), host, nullptr);
    ASSERT_EQ(actions.size(), 1);
    EXPECT_TRUE(host->actions().contains(actions.first()));
    EXPECT_TRUE(actions.first()->isEnabled());
    EXPECT_EQ(actions.first()->text(), QStringLiteral("Export archive"));

    // The controls outlive the factory and still follow their frame on their own.
    lib.deleteObject(&component, 1721);
    component = nullptr;
    frame->addPluginObject(first);
    frame->addPluginObject(actions.first());
    frame->showLive(QStringLiteral("cam 1"));
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(first->isEnabled());
    EXPECT_TRUE(second->isEnabled());  // not told
    EXPECT_FALSE(actions.first()->isEnabled());

    // The client passes no plug-in to the factory.
    lib.getObject(&component, 1721);
    factory = dynamic_cast<vo::IVideoFrameGuiPluginFactory *>(component);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int plugin = 0;
    EXPECT_DEATH(factory->createButton(ComponentRef<IVideoFrame>(frame), host, &plugin), "!plugin");
    EXPECT_DEATH(factory->createActions(ComponentRef<IVideoFrame>(frame), host, &plugin), "!plugin");
}

TEST(LibrarySymbolsTest, ExportsOnlyTheEntryPoints)
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {"-D", "--defined-only", "--format=just-symbols", EXPORTARCHIVE_PATH});
    ASSERT_TRUE(nm.waitForFinished(30000));
    ASSERT_EQ(nm.exitCode(), 0) << nm.readAllStandardError().toStdString();
    // Less the symbols every shared object has, and those a sanitizer build adds.
    static const QRegularExpression standard("^(__bss_start|_edata|_end|_init|_fini|__(a|ub)san.*|__sanitizer.*)$");
    QStringList ours = QString::fromLocal8Bit(nm.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ours.removeIf([](const QString &name) { return standard.match(name).hasMatch(); });
    ours.sort();
    EXPECT_EQ(ours, (QStringList{"VeltDeleteObject", "VeltGetObject", "VeltMyName"}));
}

}  // namespace
