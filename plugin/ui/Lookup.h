// Finding one of the client's shared components by GUID, seen through the
// interface the caller needs. GUI thread (the manager itself is thread-safe).
#ifndef PLUGIN_UI_LOOKUP_H_
#define PLUGIN_UI_LOOKUP_H_

#include "plugin/host/Component.h"

// Empty when there is no manager, no such component, or it lacks T.
template <class T>
ComponentRef<T> lookupComponent(IComponentManager *manager, const char *guid)
{
    if (!manager)
        return ComponentRef<T>();
    return ComponentRef<T>(manager->getComponent(guid));
}

#endif  // PLUGIN_UI_LOOKUP_H_
