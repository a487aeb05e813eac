// The counted reference: adoption from the runtime, conversion across the
// virtual bases of the channel's source interfaces, release with and without
// a deleter, what the runtime is told, and the invariant check.
#include "client/runtime/Runtime.h"
#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

// The runtime's trace calls made in this binary (on its one thread), as
// recorded by its own definitions of the two functions below, which take
// precedence over libvelt's and pass the calls on to them.
struct TraceCall {
    bool remove;
    const RefCounter *counter;
    std::string description;  // of an Add
    int converted;            // of an Add
};
std::vector<TraceCall> g_traces;

// The runtime's entry points have C++ linkage: looked up by mangled name.
template <class F>
F runtimeFunction(const char *mangledName)
{
    void *symbol = dlsym(RTLD_NEXT, mangledName);
    if (!symbol)
        std::abort();  // the runtime library is always linked
    return reinterpret_cast<F>(symbol);
}

int g_destroyed = 0;

// Implements every source interface, through virtual bases.
class ArchiveSource : public IArchiveVideoSource {
public:
    ~ArchiveSource() override { ++g_destroyed; }
    ComponentRef<IArchiveReader> archiveReader() override { return {}; }
    ComponentRef<IVideoSource> videoSource() override { return {}; }
};

// A live video source: no IArchiveVideoSource.
class LiveSource : public IVideoSource {
public:
    ComponentRef<IArchiveReader> archiveReader() override { return {}; }
};

constexpr char kName[] = "test.ArchiveSource";

class ComponentRefTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_destroyed = 0;
        g_traces.clear();
        velt::registerFactory(kName, [] { return static_cast<void *>(static_cast<IVideoSource *>(new ArchiveSource)); });
    }
    void TearDown() override { velt::unregisterFactory(kName); }
};

TEST_F(ComponentRefTest, AdoptionConversionAndCopiesCountAndTraceOnce)
{
    ComponentRef<IVideoSource> video(kName);
    ASSERT_TRUE(video);
    const RefCounter *counter = video._counter;
    EXPECT_EQ(std::make_tuple(counter->strong.load(), counter->weak.load(), counter->deleter),
              std::make_tuple(1u, 1u, nullptr));
    // To a virtual base and on to its sibling: one block, traced with the
    // object's own class; copies are counted but not traced.
    auto *object = dynamic_cast<ArchiveSource *>(video.get());
    ComponentRef<IArchiveVideoSource> archive(video);
    ComponentRef<IAudioSource> audio(archive);
    EXPECT_EQ(archive.get(), static_cast<IArchiveVideoSource *>(object));
    EXPECT_EQ(audio.get(), static_cast<IAudioSource *>(object));
    EXPECT_EQ(audio._counter, counter);
    { const ComponentRef<IAudioSource> copy(audio); EXPECT_EQ(counter->strong.load(), 4u); }
    EXPECT_EQ(std::make_pair(counter->strong.load(), counter->weak.load()), std::make_pair(3u, 1u));
    const std::string own = typeid(ArchiveSource).name();
    const std::tuple<bool, const RefCounter *, std::string, int> expected[] = {
        {false, counter, "Velt-component \"test.ArchiveSource\"", 0}, {false, counter, own, 1}, {false, counter, own, 1}};
    ASSERT_EQ(g_traces.size(), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(std::tie(g_traces[i].remove, g_traces[i].counter, g_traces[i].description, g_traces[i].converted),
                  expected[i]);

    // The object goes with the last of its references, whichever that is,
    // told to the runtime once.
    video.reset();
    archive.reset();
    EXPECT_EQ(std::make_pair(g_destroyed, g_traces.size()), std::make_pair(0, size_t(3)));
    audio.reset();
    EXPECT_EQ(std::make_pair(g_destroyed, g_traces.size()), std::make_pair(1, size_t(4)));
    EXPECT_TRUE(g_traces.back().remove);

    // Nothing published under a key, nothing to convert or no such interface:
    // an empty reference, with nothing counted or told.
    EXPECT_FALSE(ComponentRef<IVideoSource>("test.NoSuchComponent"));
    EXPECT_FALSE(ComponentRef<IArchiveVideoSource>(ComponentRef<IVideoSource>())._counter);
    ComponentRef<IVideoSource> live = velt::makeRef<IVideoSource>(new LiveSource, "live source");
    const ComponentRef<IArchiveVideoSource> lacking(live);
    EXPECT_FALSE(lacking._ptr || lacking._counter);
    EXPECT_EQ(live._counter->strong.load(), 1u);
    EXPECT_EQ(g_traces.size(), 5u);  // the live source's adoption only

    // Assigned another object, a reference lets go of its own (itself: not).
    ComponentRef<IVideoSource> a(kName);
    ComponentRef<IVideoSource> b(kName);
    const RefCounter *old = a._counter;
    ComponentRef<IVideoSource> &alias = a;
    a = alias;
    EXPECT_EQ(a._counter->strong.load(), 1u);
    a = b;
    EXPECT_EQ(g_destroyed, 2);
    EXPECT_TRUE(g_traces.back().remove && g_traces.back().counter == old);
    EXPECT_EQ(std::make_pair(a._counter, b._counter->strong.load()), std::make_pair(b._counter, 2u));
}

// What a client's deleter was given, and whether the runtime had been told
// of the end before.
std::vector<std::pair<void *, bool>> g_deleted;
void recordingDeleter(void *object) { g_deleted.emplace_back(object, g_traces.back().remove); }

TEST_F(ComponentRefTest, ADeleterGetsTheReferencesInterfacePointerAfterTheRemoveTrace)
{
    const auto object = std::make_unique<ArchiveSource>();
    // Held through a virtual base, whose address is not the object's.
    void *const held = static_cast<IVideoSource *>(object.get());
    ASSERT_NE(held, static_cast<void *>(object.get()));
    // With a weak unit the client keeps, so the block can be read after the
    // last strong reference has gone; and without, when the block goes with
    // the last reference (the sanitizer build reports a leak or a double
    // free otherwise).
    for (uint32_t weak : {2u, 1u}) {
        g_deleted.clear();
        auto *counter = new RefCounter{{1u}, {weak}, recordingDeleter};
        VeltObjectTrace_Add(counter, "client source", 0);
        { ComponentRef<IVideoSource> ref(static_cast<IVideoSource *>(held), counter); }
        EXPECT_EQ(g_deleted, (std::vector<std::pair<void *, bool>>{{held, true}}));
        EXPECT_EQ(g_destroyed, 0);  // the deleter, not the destructor
        if (weak == 2) {
            EXPECT_EQ(std::make_pair(counter->strong.load(), counter->weak.load()), std::make_pair(0u, 1u));
            delete counter;
        }
    }
}

TEST_F(ComponentRefTest, ConvertingAMalformedReferenceFailsTheInvariant)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ComponentRef<IVideoSource> malformed;
            malformed._ptr = new ArchiveSource;  // a pointer without its counter block
            ComponentRef<IArchiveVideoSource> converted(malformed);
        },
        "\\(_counter && _ptr\\) \\|\\| \\(!_counter && !_ptr\\)");
}

}  // namespace

void VeltObjectTrace_Add(RefCounter *counter, const char *description, int converted)
{
    static const auto runtimeAdd =
        runtimeFunction<void (*)(RefCounter *, const char *, int)>("_Z19VeltObjectTrace_AddP10RefCounterPKci");
    g_traces.push_back({false, counter, description ? description : "", converted});
    runtimeAdd(counter, description, converted);
}

void VeltObjectTrace_Remove(RefCounter *counter)
{
    static const auto runtimeRemove = runtimeFunction<void (*)(RefCounter *)>("_Z22VeltObjectTrace_RemoveP10RefCounter");
    g_traces.push_back({true, counter, std::string(), 0});
    runtimeRemove(counter);
}
