// The stand-in runtime: settings precedence, the component manager and the
// trace ledger.
#include "client/runtime/Components.h"
#include "client/runtime/Runtime.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const QByteArray &value) : _name(name), _had(qEnvironmentVariableIsSet(name))
    {
        _old = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnv()
    {
        if (_had)
            qputenv(_name, _old);
        else
            qunsetenv(_name);
    }

private:
    const char *_name;
    bool _had;
    QByteArray _old;
};

// A settings.ini with DEBUG_LEVEL=3 in a data folder of its own, the
// environment's VELT_DEBUG_LEVEL unset, for one test.
class SettingsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        QFile ini(_dir.filePath(QStringLiteral("settings.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Text));
        ini.write("# the client's settings\nDEBUG_LEVEL=3\nBROKEN=x\n");
    }

    QTemporaryDir _dir;
    const ScopedEnv _noLevel{"VELT_DEBUG_LEVEL", QByteArray()};
};

TEST_F(SettingsTest, EnvironmentOverFileOverDefault)
{
    const ScopedEnv dataDir("VELT_DATA_DIR", _dir.path().toLocal8Bit());
    velt::Settings settings;
    EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 3);
    EXPECT_EQ(settings.getInt("BROKEN", -5), -5);
    EXPECT_EQ(settings.getInt("MISSING", 11), 11);
    settings.setInt("OTHER", 4);
    EXPECT_EQ(settings.getInt("OTHER", 0), 4);
    {
        const ScopedEnv level("VELT_DEBUG_LEVEL", "7");
        EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 7);
    }
    {
        // Not a whole number: the environment does not count.
        const ScopedEnv level("VELT_DEBUG_LEVEL", "7x");
        EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 3);
    }
}

TEST_F(SettingsTest, ValueSetInCodeWinsOverEnvironmentAndFile)
{
    const ScopedEnv dataDir("VELT_DATA_DIR", _dir.path().toLocal8Bit());
    velt::Settings settings;
    EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 3);
    {
        const ScopedEnv level("VELT_DEBUG_LEVEL", "7");
        EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 7);
        settings.setInt("DEBUG_LEVEL", 5);
        EXPECT_EQ(settings.getInt("DEBUG_LEVEL", 0), 5);
    }
}

class Thing : public IPolymorph {
public:
    explicit Thing(int *destroyed) : _destroyed(destroyed) {}
    ~Thing() override { ++*_destroyed; }

private:
    int *_destroyed;
};

TEST(ComponentManager, LooksUpSharesAndReleases)
{
    int destroyed = 0;
    velt::ComponentManager manager;
    {
        ComponentRef<IPolymorph> a = velt::makeRef<IPolymorph>(new Thing(&destroyed), "thing a");
        manager.setComponent("guid-a", a);
        manager.setComponent("guid-b", velt::makeRef<IPolymorph>(new Thing(&destroyed), "thing b"));
        EXPECT_EQ(a._counter->strong.load(), 2u);

        const ComponentRef<IPolymorph> found = manager.getComponent("guid-a");
        EXPECT_EQ(found.get(), a.get());
        EXPECT_EQ(found._counter, a._counter);
        EXPECT_EQ(a._counter->strong.load(), 3u);
        EXPECT_FALSE(manager.getComponent("guid-none"));
    }
    EXPECT_EQ(destroyed, 0);  // the manager still holds both

    // Replacing releases the old component.
    manager.setComponent("guid-b", velt::makeRef<IPolymorph>(new Thing(&destroyed), "thing c"));
    EXPECT_EQ(destroyed, 1);
    manager.removeComponent("guid-a");
    EXPECT_EQ(destroyed, 2);
    EXPECT_FALSE(manager.getComponent("guid-a"));
    manager.removeComponent("guid-a");
    manager.clear();
    EXPECT_EQ(destroyed, 3);
    EXPECT_FALSE(manager.getComponent("guid-b"));
}

TEST(Ledger, RecordsBlocksUntilRemovedAndCountsStrayRemoves)
{
    RefCounter counter{{1u}, {1u}, nullptr};
    VeltObjectTrace_Add(&counter, "first", 0);
    VeltObjectTrace_Add(&counter, "second", 1);
    auto live = velt::liveBlocks();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].description, "first");
    EXPECT_EQ(live[0].traces, 2);

    VeltObjectTrace_Remove(&counter);
    EXPECT_TRUE(velt::liveBlocks().empty());
    EXPECT_EQ(velt::strayRemoves(), 0);
    VeltObjectTrace_Remove(&counter);
    EXPECT_EQ(velt::strayRemoves(), 1);

    RefCounter untraced{{1u}, {1u}, nullptr};
    VeltObjectTrace_Remove(&untraced);
    EXPECT_EQ(velt::strayRemoves(), 2);
    velt::resetLedger();
    EXPECT_EQ(velt::strayRemoves(), 0);
}

TEST(Registry, GetVeltObjectUsesTheLatestFactoryUntilUnregistered)
{
    int destroyed = 0;
    velt::registerFactory("test.Thing", [&destroyed] { return static_cast<void *>(static_cast<IPolymorph *>(new Thing(&destroyed))); });
    void *object = nullptr;
    EXPECT_EQ(GetVeltObject("test.Thing", 1, &object), 0);
    ASSERT_NE(object, nullptr);
    delete static_cast<IPolymorph *>(object);
    EXPECT_EQ(destroyed, 1);

    velt::unregisterFactory("test.Thing");
    object = &destroyed;
    GetVeltObject("test.Thing", 1, &object);
    EXPECT_EQ(object, nullptr);
}

}  // namespace
