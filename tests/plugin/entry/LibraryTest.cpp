// The plug-in as the client sees it: the shared library, loaded with dlopen
// and used only through its three exported entry points.
#include "client/services/Services.h"
#include "client/services/VideoFrame.h"
#include "client/runtime/Components.h"
#include "plugin/host/Component.h"
#include "plugin/host/VideoFrame.h"
#include "tests/plugin/ui/FakeSource.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QProcess>
#include <QSet>
#include <QTimer>
#include <QToolButton>
#include <cstdint>
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

using MyNameFn = void (*)(const char **, uint32_t *, int);
using GetObjectFn = void (*)(IComponent **, int);
using DeleteObjectFn = void (*)(IComponent **, int);

const char kPermission[] = "PERM_GROUP_ARCHIVE/PERM_NAME_EXPORT_ARCHIVE";

class Library {
public:
    Library() : _handle(dlopen(EXPORTARCHIVE_PATH, RTLD_NOW | RTLD_LOCAL))
    {
        if (!_handle)
            return;
        myName = reinterpret_cast<MyNameFn>(dlsym(_handle, "VeltMyName"));
        getObject = reinterpret_cast<GetObjectFn>(dlsym(_handle, "VeltGetObject"));
        deleteObject = reinterpret_cast<DeleteObjectFn>(dlsym(_handle, "VeltDeleteObject"));
    }
    // The library stays loaded: Qt keeps the meta-objects of its classes.
    bool loaded() const { return _handle && myName && getObject && deleteObject; }

    MyNameFn myName = nullptr;
    GetObjectFn getObject = nullptr;
    DeleteObjectFn deleteObject = nullptr;

private:
    void *_handle;
};

Library &library()
{
    static Library lib;
    return lib;
}

class LibraryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(library().loaded()) << dlerror(); }
    Library &lib = library();
};

TEST_F(LibraryTest, NameOnlyForItsVersion)
{
    const char *name = "unset";
    uint32_t value = 0;
    lib.myName(&name, &value, 1721);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "base.videoframe.ExportArchive");
    EXPECT_EQ(value, 1u);

    name = "unset";
    value = 0;
    lib.myName(&name, &value, 1720);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(value, 1u);
}

TEST_F(LibraryTest, ObjectsOnlyForItsVersion)
{
    IComponent *held = reinterpret_cast<IComponent *>(uintptr_t(0x1234));
    lib.getObject(&held, 1722);
    EXPECT_EQ(held, nullptr);

    // A holder of null is left alone.
    lib.deleteObject(&held, 1721);
    EXPECT_EQ(held, nullptr);

    lib.getObject(&held, 1721);
    ASSERT_NE(held, nullptr);
    // The wrong version deletes nothing (a deletion here would be a double one below).
    lib.deleteObject(&held, 1720);
    IComponent *const factory = held;
    lib.deleteObject(&held, 1721);
    EXPECT_EQ(held, factory);  // the holder keeps its value
}

class FactoryTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        velt::registerTranslator();
        services.publish(&manager);
        services.sessions->logIn(QStringLiteral("alice"));
        services.security->grant(QStringLiteral("alice"), kPermission);
        lib.getObject(&component, 1721);
        ASSERT_NE(component, nullptr);
        factory = dynamic_cast<vo::IVideoFrameGuiPluginFactory *>(component);
        ASSERT_NE(factory, nullptr);
        auto settings = velt::makeRef<ISettings>(new velt::Settings, "velt::Settings");
        EXPECT_TRUE(component->init(settings, &manager));
    }
    void TearDown() override
    {
        if (component)
            lib.deleteObject(&component, 1721);
        delete host;
        manager.clear();
    }

    velt::ComponentManager manager;
    clientui::Services services;
    ComponentRef<clientui::VideoFrame> frame = velt::makeRef(new clientui::VideoFrame, "clientui::VideoFrame");
    QWidget *host = new QWidget;
    IComponent *component = nullptr;
    vo::IVideoFrameGuiPluginFactory *factory = nullptr;
};

TEST_F(FactoryTest, AnswersOfTheRootComponent)
{
    EXPECT_TRUE(component->canUnload());
    component->deinit();
    EXPECT_EQ(factory->overlayInfo(), nullptr);
}

TEST_F(FactoryTest, ButtonsAndActionsForAFrame)
{
    frame->showArchive(fakes::archiveSource(std::make_shared<fakes::ArchiveBounds>()));
    QWidget *first = factory->createButton(ComponentRef<IVideoFrame>(frame), host, nullptr);
    QWidget *second = factory->createButton(ComponentRef<IVideoFrame>(frame), host, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first, second);
    EXPECT_STREQ(first->metaObject()->className(), "ControlButton");
    EXPECT_NE(qobject_cast<QToolButton *>(first), nullptr);
    EXPECT_EQ(first->parentWidget(), host);
    EXPECT_TRUE(first->isEnabled());

    const QList<QAction *> actions = factory->createActions(ComponentRef<IVideoFrame>(frame), host, nullptr);
    ASSERT_EQ(actions.size(), 1);
    EXPECT_STREQ(actions.first()->metaObject()->className(), "MenuAction");
    EXPECT_EQ(actions.first()->parent(), host);
    EXPECT_TRUE(host->actions().contains(actions.first()));
    EXPECT_TRUE(actions.first()->isEnabled());

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
}

TEST_F(FactoryTest, ButtonOpensTheDialog)
{
    frame->showArchive(fakes::archiveSource(std::make_shared<fakes::ArchiveBounds>()));
    auto *button = qobject_cast<QToolButton *>(factory->createButton(ComponentRef<IVideoFrame>(frame), host, nullptr));
    ASSERT_NE(button, nullptr);
    QString className;
    QObject *parent = nullptr;
    QTimer::singleShot(0, [&] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            className = QString::fromLatin1(modal->metaObject()->className());
            parent = modal->parentWidget();
            static_cast<QDialog *>(modal)->reject();
        }
    });
    button->click();
    EXPECT_EQ(className, QStringLiteral("ExportDialog"));
    EXPECT_EQ(parent, button);
}

using FactoryDeathTest = FactoryTest;

TEST_F(FactoryDeathTest, PluginArgumentMustBeNull)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int plugin = 0;
    EXPECT_DEATH(factory->createButton(ComponentRef<IVideoFrame>(frame), host, &plugin), "!plugin");
    EXPECT_DEATH(factory->createActions(ComponentRef<IVideoFrame>(frame), host, &plugin), "!plugin");
}

TEST(LibrarySymbolsTest, ExportsOnlyTheEntryPoints)
{
    QProcess nm;
    nm.start(QStringLiteral("nm"), {QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                    QString::fromUtf8(EXPORTARCHIVE_PATH)});
    ASSERT_TRUE(nm.waitForFinished(30000));
    ASSERT_EQ(nm.exitCode(), 0) << nm.readAllStandardError().toStdString();
    // Symbols every shared object has, and those a sanitizer build adds.
    const QSet<QString> standard = {QStringLiteral("__bss_start"), QStringLiteral("_edata"), QStringLiteral("_end"),
                                    QStringLiteral("_init"), QStringLiteral("_fini")};
    QSet<QString> ours;
    const QStringList lines = QString::fromLocal8Bit(nm.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 3)
            continue;
        const QString &name = fields.at(2);
        if (standard.contains(name) || name.startsWith(QLatin1String("__asan")) ||
            name.startsWith(QLatin1String("__ubsan")) || name.startsWith(QLatin1String("__sanitizer")))
            continue;
        ours.insert(name);
    }
    EXPECT_EQ(ours, (QSet<QString>{QStringLiteral("VeltMyName"), QStringLiteral("VeltGetObject"),
                                   QStringLiteral("VeltDeleteObject")}))
        << lines.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
