// The stand-in client's AV format manager: the component, published under
// guids::kAVFormatManager, that makes a codec informer for a stream's
// four-character code (client/media/FourCC.h): H.264, HEVC, MJPEG, AAC,
// G.711 mu-law and A-law.
//
// Stateless and thread-safe; each informer it makes belongs to the counted
// reference it returns and is used by one thread at a time.
#ifndef CLIENT_CODECS_FORMATMANAGER_H_
#define CLIENT_CODECS_FORMATMANAGER_H_

#include "plugin/host/Codecs.h"

namespace velt {
class ComponentManager;
}

namespace codecs {

class FormatManager : public IAVFormatManager {
public:
    // A new informer for `code`, empty when the code is not one of ours.
    // `block` is not needed: informers learn from addBlock.
    ComponentRef<IAVInformer> createInformer(uint32_t code, const QByteArray &block) override;
};

// A new format manager in a traced counter block.
ComponentRef<IAVFormatManager> makeFormatManager();

// Puts a new format manager into `manager` under guids::kAVFormatManager.
void publish(velt::ComponentManager &manager);

}  // namespace codecs

#endif  // CLIENT_CODECS_FORMATMANAGER_H_
