// An object that implements every source interface of a channel, through
// their virtual bases, and counts its destructions. Test objects only.
#ifndef TESTS_PLUGIN_HOST_COUNTEDSOURCE_H_
#define TESTS_PLUGIN_HOST_COUNTEDSOURCE_H_

#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <atomic>

class CountedSource : public IArchiveVideoSource {
public:
    explicit CountedSource(std::atomic<int> *destroyed) : _destroyed(destroyed) {}
    ~CountedSource() override { ++*_destroyed; }
    QString channelName() const override { return QString(); }
    ComponentRef<IArchiveReader> archiveReader() override { return ComponentRef<IArchiveReader>(); }
    ComponentRef<IVideoSource> videoSource() override { return ComponentRef<IVideoSource>(); }

private:
    std::atomic<int> *_destroyed;
};

#endif  // TESTS_PLUGIN_HOST_COUNTEDSOURCE_H_
