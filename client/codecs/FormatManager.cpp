#include "client/codecs/FormatManager.h"

#include "client/codecs/AudioInformers.h"
#include "client/codecs/Libav.h"
#include "client/codecs/VideoInformers.h"
#include "client/media/FourCC.h"
#include "client/runtime/Components.h"
#include "plugin/host/Guids.h"

namespace codecs {

namespace {

Informer *newInformer(uint32_t code)
{
    switch (code) {
    case fourcc::kH264:
    case fourcc::kHevc:
        return new AnnexBInformer(code, codecIdOf(code));
    case fourcc::kMjpeg:
        return new MjpegInformer(code);
    case fourcc::kAac:
        return new AacInformer(code);
    case fourcc::kUlaw:
    case fourcc::kAlaw:
        return new G711Informer(code, codecIdOf(code));
    default:
        return nullptr;
    }
}

}  // namespace

ComponentRef<IAVInformer> FormatManager::createInformer(uint32_t code, const QByteArray &)
{
    Informer *informer = newInformer(code);
    if (!informer)
        return ComponentRef<IAVInformer>();
    const std::string description = "codecs informer \"" + fourcc::bytes(code).toStdString() + "\"";
    return velt::makeRef<IAVInformer>(informer, description.c_str());
}

ComponentRef<IAVFormatManager> makeFormatManager()
{
    return velt::makeRef<IAVFormatManager>(new FormatManager, "codecs format manager");
}

void publish(velt::ComponentManager &manager)
{
    manager.setComponent(guids::kAVFormatManager, ComponentRef<IPolymorph>(makeFormatManager()));
}

}  // namespace codecs
