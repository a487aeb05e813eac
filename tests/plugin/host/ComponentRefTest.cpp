// The counted reference: adoption from the runtime, conversion across the
// virtual bases of the channel's source interfaces, release with and without
// a deleter, and the invariant check.
#include "tests/plugin/host/CountedSource.h"
#include "tests/plugin/host/TraceRecorder.h"

#include "client/runtime/Runtime.h"

#include <gtest/gtest.h>

#include <typeinfo>

namespace {

std::atomic<int> g_destroyed{0};

// Implements every source interface, through virtual bases.
class ArchiveSource : public CountedSource {
public:
    ArchiveSource() : CountedSource(&g_destroyed) {}
};

// A live video source: no IArchiveVideoSource.
class LiveSource : public IVideoSource {
public:
    ~LiveSource() override { ++g_destroyed; }
    QString channelName() const override { return QString(); }
    ComponentRef<IArchiveReader> archiveReader() override { return ComponentRef<IArchiveReader>(); }
};

constexpr char kName[] = "test.ArchiveSource";

class ComponentRefTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_destroyed = 0;
        tracerecorder::clear();
        velt::registerFactory(kName, [] { return static_cast<void *>(static_cast<IVideoSource *>(new ArchiveSource)); });
    }
    void TearDown() override { velt::unregisterFactory(kName); }
};

TEST_F(ComponentRefTest, AdoptionTracesTheKeyOnceAndOwnsTheObject)
{
    {
        ComponentRef<IVideoSource> ref(kName);
        ASSERT_TRUE(ref);
        ASSERT_NE(ref._counter, nullptr);
        EXPECT_EQ(ref._counter->strong.load(), 1u);
        EXPECT_EQ(ref._counter->weak.load(), 1u);
        EXPECT_EQ(ref._counter->deleter, nullptr);

        const auto calls = tracerecorder::calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_FALSE(calls[0].remove);
        EXPECT_EQ(calls[0].counter, ref._counter);
        EXPECT_EQ(calls[0].description, "Velt-component \"test.ArchiveSource\"");
        EXPECT_EQ(calls[0].converted, 0);
        ASSERT_EQ(velt::liveBlocks().size(), 1u);
        EXPECT_EQ(velt::liveBlocks()[0].traces, 1);
        EXPECT_EQ(g_destroyed, 0);
    }
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_TRUE(velt::liveBlocks().empty());

    // A key nobody published: empty, and the runtime hears nothing.
    tracerecorder::clear();
    ComponentRef<IVideoSource> missing("test.NoSuchComponent");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing._counter, nullptr);
    EXPECT_TRUE(tracerecorder::calls().empty());
}

TEST_F(ComponentRefTest, ConversionAcrossVirtualBasesSharesTheBlockAndTracesTheDynamicType)
{
    ComponentRef<IVideoSource> video(kName);
    ASSERT_TRUE(video);
    auto *object = dynamic_cast<ArchiveSource *>(video.get());
    ASSERT_NE(object, nullptr);
    tracerecorder::clear();

    ComponentRef<IArchiveVideoSource> archive(video);
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive.get(), static_cast<IArchiveVideoSource *>(object));
    EXPECT_EQ(archive._counter, video._counter);
    EXPECT_EQ(video._counter->strong.load(), 2u);
    EXPECT_EQ(video._counter->weak.load(), 1u);

    // From one virtual base to its sibling.
    ComponentRef<IAudioSource> audio(archive);
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio.get(), static_cast<IAudioSource *>(object));
    EXPECT_EQ(audio._counter, video._counter);
    EXPECT_EQ(video._counter->strong.load(), 3u);

    const auto calls = tracerecorder::calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const auto &call : calls) {
        EXPECT_FALSE(call.remove);
        EXPECT_EQ(call.counter, video._counter);
        EXPECT_EQ(call.converted, 1);
        // The object's own class, not the interface converted to.
        EXPECT_EQ(call.description, typeid(ArchiveSource).name());
    }
    EXPECT_NE(calls[0].description, typeid(IArchiveVideoSource).name());
    ASSERT_EQ(velt::liveBlocks().size(), 1u);
    EXPECT_EQ(velt::liveBlocks()[0].traces, 3);

    // Copies count but are not traced.
    tracerecorder::clear();
    {
        ComponentRef<IAudioSource> copy(audio);
        EXPECT_EQ(video._counter->strong.load(), 4u);
    }
    EXPECT_EQ(video._counter->strong.load(), 3u);
    EXPECT_TRUE(tracerecorder::calls().empty());
}

TEST_F(ComponentRefTest, ConvertingEmptyOrToAMissingInterfaceGivesEmptyWithoutTraceOrCount)
{
    const ComponentRef<IVideoSource> empty;
    const ComponentRef<IArchiveVideoSource> fromEmpty(empty);
    EXPECT_FALSE(fromEmpty);
    EXPECT_EQ(fromEmpty._counter, nullptr);

    ComponentRef<IVideoSource> live = velt::makeRef<IVideoSource>(new LiveSource, "live source");
    tracerecorder::clear();
    {
        const ComponentRef<IArchiveVideoSource> lacking(live);
        EXPECT_FALSE(lacking);
        EXPECT_EQ(lacking._counter, nullptr);
        EXPECT_EQ(live._counter->strong.load(), 1u);
    }
    EXPECT_EQ(live._counter->strong.load(), 1u);
    EXPECT_TRUE(tracerecorder::calls().empty());
    EXPECT_EQ(g_destroyed, 0);
    live.reset();
    EXPECT_EQ(g_destroyed, 1);
}

TEST_F(ComponentRefTest, TwoInterfacesOfOneObjectReleaseItOnceWithTheLast)
{
    ComponentRef<IVideoSource> video(kName);
    ComponentRef<IAudioSource> audio(video);
    ASSERT_TRUE(audio);
    const RefCounter *counter = video._counter;

    video.reset();
    EXPECT_FALSE(video);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(tracerecorder::removesOf(counter), 0);
    EXPECT_EQ(audio._counter->strong.load(), 1u);

    audio.reset();
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(tracerecorder::removesOf(counter), 1);
    EXPECT_TRUE(velt::liveBlocks().empty());
    EXPECT_EQ(velt::strayRemoves(), 0);
}

TEST_F(ComponentRefTest, AssignmentReleasesTheOldObjectAndSharesTheNew)
{
    ComponentRef<IVideoSource> a(kName);
    ComponentRef<IVideoSource> b(kName);
    ASSERT_NE(a._counter, b._counter);
    const RefCounter *old = a._counter;

    ComponentRef<IVideoSource> &alias = a;
    a = alias;
    EXPECT_EQ(a._counter->strong.load(), 1u);
    a = b;
    EXPECT_EQ(g_destroyed, 1);
    EXPECT_EQ(tracerecorder::removesOf(old), 1);
    EXPECT_EQ(a._counter, b._counter);
    EXPECT_EQ(b._counter->strong.load(), 2u);
    a.reset();
    b.reset();
    EXPECT_EQ(g_destroyed, 2);
}

// A client's block whose deleter takes the object back.
struct DeleterCall {
    int calls = 0;
    void *object = nullptr;
    int removesBefore = -1;
    const RefCounter *counter = nullptr;
};
DeleterCall g_deleter;

void recordingDeleter(void *object)
{
    ++g_deleter.calls;
    g_deleter.object = object;
    g_deleter.removesBefore = tracerecorder::removesOf(g_deleter.counter);
}

TEST_F(ComponentRefTest, ClientBlockWithDeleterGetsTheReferencesInterfacePointerAfterTheRemoveTrace)
{
    auto *object = new ArchiveSource;
    // The client keeps a weak unit of its own, so the block can be read after
    // the last strong reference has gone.
    auto *counter = new RefCounter{{1u}, {2u}, recordingDeleter};
    g_deleter = DeleterCall();
    g_deleter.counter = counter;
    VeltObjectTrace_Add(counter, "client source", 0);
    {
        // Held through a virtual base, whose address differs from the object's.
        ComponentRef<IVideoSource> ref(static_cast<IVideoSource *>(object), counter);
        ASSERT_NE(static_cast<void *>(ref.get()), static_cast<void *>(object));
    }
    EXPECT_EQ(g_deleter.calls, 1);
    EXPECT_EQ(g_deleter.object, static_cast<void *>(static_cast<IVideoSource *>(object)));
    EXPECT_EQ(g_deleter.removesBefore, 1);
    EXPECT_EQ(g_destroyed, 0);  // the deleter, not the destructor
    EXPECT_EQ(counter->strong.load(), 0u);
    EXPECT_EQ(counter->weak.load(), 1u);
    delete counter;
    delete object;

    // Without the client's unit the block goes with the last reference (the
    // sanitizer build reports a leak or a double free otherwise).
    object = new ArchiveSource;
    g_destroyed = 0;
    g_deleter = DeleterCall();
    counter = new RefCounter{{1u}, {1u}, recordingDeleter};
    VeltObjectTrace_Add(counter, "client source", 0);
    { ComponentRef<IAudioSource> ref(static_cast<IAudioSource *>(object), counter); }
    EXPECT_EQ(g_deleter.calls, 1);
    EXPECT_EQ(g_destroyed, 0);
    delete object;
}

TEST_F(ComponentRefTest, ConvertingAMalformedReferenceFailsTheInvariant)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ArchiveSource object;
            ComponentRef<IVideoSource> malformed;
            malformed._ptr = &object;  // a pointer without its counter block
            ComponentRef<IArchiveVideoSource> converted(malformed);
        },
        "\\(_counter && _ptr\\) \\|\\| \\(!_counter && !_ptr\\)");
}

}  // namespace
