// The library's three exported entry points, through which the client's
// component framework names the plug-in, gets its Factory and deletes it.
// Every other symbol of the library stays hidden.
#include "plugin/entry/Factory.h"

#include <cstdint>

#define VELT_EXPORT extern "C" __attribute__((visibility("default")))

VELT_EXPORT void VeltMyName(const char **name, uint32_t *value, int version)
{
    *value = 1;
    *name = version == kPluginInterfaceVersion ? kPluginName : nullptr;
}

VELT_EXPORT void VeltGetObject(IComponent **object, int version)
{
    *object = nullptr;
    if (version == kPluginInterfaceVersion)
        *object = new Factory;
}

VELT_EXPORT void VeltDeleteObject(IComponent **object, int version)
{
    if (version == kPluginInterfaceVersion && object && *object)
        delete *object;
}
