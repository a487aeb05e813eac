// A small stand-in for a channel's archive as the dialog sees it: an archive
// video source whose video source leads to a reader and a fragment index
// that report given bounds. Each level can be left out. The settings live in
// one shared object, so a test can change the bounds after the dialog was
// built. Test thread only; every object is handed out through makeRef.
#ifndef TESTS_PLUGIN_UI_FAKESOURCE_H_
#define TESTS_PLUGIN_UI_FAKESOURCE_H_

#include "plugin/host/Archive.h"
#include "plugin/host/Sources.h"

#include <memory>

namespace fakes {

struct ArchiveBounds {
    bool hasReader = true;
    bool hasIndex = true;
    bool boundsKnown = true;
    int64_t firstMs = 0;
    int64_t lastMs = 0;
};

// The archive video source over `bounds`.
ComponentRef<IArchiveVideoSource> archiveSource(const std::shared_ptr<ArchiveBounds> &bounds);

}  // namespace fakes

#endif  // TESTS_PLUGIN_UI_FAKESOURCE_H_
