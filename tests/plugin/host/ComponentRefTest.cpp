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
const std::vector<TraceCall> &traces() { return g_traces; }

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
    QString channelName() const override { return QString(); }
    ComponentRef<IArchiveReader> archiveReader() override { return {}; }
    ComponentRef<IVideoSource> videoSource() override { return {}; }
};

// A live video source: no IArchiveVideoSource.
class LiveSource : public IVideoSource {
public:
    QString channelName() const override { return QString(); }
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
    {
        ComponentRef<IVideoSource> video(kName);
        ASSERT_TRUE(video);
        const RefCounter *counter = video._counter;
        EXPECT_EQ(counter->strong.load(), 1u);
        EXPECT_EQ(counter->weak.load(), 1u);
        EXPECT_EQ(counter->deleter, nullptr);

        // To a virtual base and on to its sibling: one block, traced with
        // the object's own class.
        auto *object = dynamic_cast<ArchiveSource *>(video.get());
        ComponentRef<IArchiveVideoSource> archive(video);
        ComponentRef<IAudioSource> audio(archive);
        EXPECT_EQ(archive.get(), static_cast<IArchiveVideoSource *>(object));
        EXPECT_EQ(audio.get(), static_cast<IAudioSource *>(object));
        EXPECT_EQ(audio._counter, counter);
        EXPECT_EQ(counter->strong.load(), 3u);
        EXPECT_EQ(counter->weak.load(), 1u);
        {
            const ComponentRef<IAudioSource> copy(audio);  // counted, not traced
            EXPECT_EQ(counter->strong.load(), 4u);
        }
        const std::string own = typeid(ArchiveSource).name();
        const auto calls = traces();
        ASSERT_EQ(calls.size(), 3u);
        const std::tuple<bool, const RefCounter *, std::string, int> expected[] = {
            {false, counter, "Velt-component \"test.ArchiveSource\"", 0}, {false, counter, own, 1}, {false, counter, own, 1}};
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(std::tie(calls[i].remove, calls[i].counter, calls[i].description, calls[i].converted), expected[i]) << i;

        // The object goes with the last of its references, whichever that is.
        video.reset();
        archive.reset();
        EXPECT_EQ(g_destroyed, 0);
        EXPECT_EQ(traces().size(), 3u);
    }
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(traces().back().remove, true);
    EXPECT_EQ(traces().size(), 4u);
    EXPECT_TRUE(velt::liveBlocks().empty());

    // A key nobody published gives an empty reference, and the runtime hears nothing.
    EXPECT_FALSE(ComponentRef<IVideoSource>("test.NoSuchComponent"));
    EXPECT_EQ(traces().size(), 4u);
}

TEST_F(ComponentRefTest, ConvertingEmptyOrToAMissingInterfaceGivesEmptyWithoutTraceOrCount)
{
    EXPECT_FALSE(ComponentRef<IArchiveVideoSource>(ComponentRef<IVideoSource>())._counter);
    ComponentRef<IVideoSource> live = velt::makeRef<IVideoSource>(new LiveSource, "live source");
    const size_t tracesBefore = traces().size();
    const ComponentRef<IArchiveVideoSource> lacking(live);
    EXPECT_FALSE(lacking);
    EXPECT_EQ(lacking._counter, nullptr);
    EXPECT_EQ(live._counter->strong.load(), 1u);
    EXPECT_EQ(traces().size(), tracesBefore);
}

TEST_F(ComponentRefTest, AssignmentReleasesTheOldObjectAndSharesTheNew)
{
    ComponentRef<IVideoSource> a(kName);
    ComponentRef<IVideoSource> b(kName);
    const RefCounter *old = a._counter;
    ComponentRef<IVideoSource> &alias = a;
    a = alias;
    EXPECT_EQ(a._counter->strong.load(), 1u);
    a = b;
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_TRUE(traces().back().remove && traces().back().counter == old);
    EXPECT_EQ(a._counter, b._counter);
    EXPECT_EQ(b._counter->strong.load(), 2u);
}

// A client's block whose deleter takes the object back.
struct DeleterCall {
    int calls = 0;
    void *object = nullptr;
    bool removedBefore = false;
};
DeleterCall g_deleter;

void recordingDeleter(void *object)
{
    g_deleter = DeleterCall{g_deleter.calls + 1, object, !traces().empty() && traces().back().remove};
}

TEST_F(ComponentRefTest, ADeleterGetsTheReferencesInterfacePointerAfterTheRemoveTrace)
{
    const auto object = std::make_unique<ArchiveSource>();
    // With a weak unit the client keeps, so the block can be read after the
    // last strong reference has gone; and without, when the block goes with
    // the last reference (the sanitizer build reports a leak or a double
    // free otherwise).
    for (uint32_t weak : {2u, 1u}) {
        g_deleter = DeleterCall();
        auto *counter = new RefCounter{{1u}, {weak}, recordingDeleter};
        VeltObjectTrace_Add(counter, "client source", 0);
        // Held through a virtual base, whose address differs from the object's.
        { ComponentRef<IVideoSource> ref(static_cast<IVideoSource *>(object.get()), counter); }
        EXPECT_EQ(g_deleter.calls, 1);
        EXPECT_EQ(g_deleter.object, static_cast<void *>(static_cast<IVideoSource *>(object.get())));
        EXPECT_NE(g_deleter.object, static_cast<void *>(object.get()));
        EXPECT_TRUE(g_deleter.removedBefore);
        EXPECT_EQ(g_destroyed, 0);  // the deleter, not the destructor
        if (weak == 2) {
            EXPECT_EQ(counter->strong.load(), 0u);
            EXPECT_EQ(counter->weak.load(), 1u);
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
