// A stand-in for the client's format manager and its codec informers, with
// trivial informers: one is ready after a set number of key blocks, describes
// its stream as 8 kHz mono mu-law audio (which the Matroska muxer takes
// without extradata) and packs a block's bytes after its four-character code
// unchanged. Enough for the export engine to write real files from fake
// blocks. Two codes script the packing: a block beginning with "FAIL" cannot
// be packed, and one beginning with "NEWF" asks for a new file unless it is
// the first block the informer packs.
//
// The test owns a FakeCodecs on its own thread and puts manager() into a
// velt::ComponentManager under the format manager's GUID; the informers are
// used on the engine's worker thread. The FakeCodecs must outlive every
// informer it made.
#ifndef TESTS_SUPPORT_FAKECODECS_H_
#define TESTS_SUPPORT_FAKECODECS_H_

#include "plugin/host/Codecs.h"

#include <atomic>

namespace testsupport {

class FakeCodecs {
public:
    // Key blocks an informer needs before it is ready; negative: never.
    int readyAfterKeyBlocks = 1;

    // A new format manager reference (a new object each time).
    ComponentRef<IPolymorph> manager();

    int informersMade() const { return _informersMade.load(); }
    void countInformer() { ++_informersMade; }

private:
    std::atomic<int> _informersMade{0};
};

}  // namespace testsupport

#endif  // TESTS_SUPPORT_FAKECODECS_H_
