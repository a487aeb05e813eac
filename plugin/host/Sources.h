// Client interfaces of a camera channel's data sources. Their structure of
// virtual bases matters: a reference to an IVideoSource is turned into one to
// an IArchiveVideoSource by a dynamic cast across these bases.
#ifndef PLUGIN_HOST_SOURCES_H_
#define PLUGIN_HOST_SOURCES_H_

#include <velt/velt>

class IArchiveReader;

// The channel behind a data source. The plug-in calls nothing on it; it is
// here for its place among the virtual bases.
class IChannel : public IPolymorph {};

class IDataSource : public virtual IChannel {
public:
    // Empty for a source that has no recorded archive behind it.
    virtual ComponentRef<IArchiveReader> archiveReader() = 0;
};

class IVideoSource : public virtual IDataSource {};

class IAudioSource : public virtual IDataSource {};

// A source that plays recorded video: what the export reads.
class IArchiveVideoSource : public virtual IAudioSource, public virtual IVideoSource {
public:
    virtual ComponentRef<IVideoSource> videoSource() = 0;
};

#endif  // PLUGIN_HOST_SOURCES_H_
