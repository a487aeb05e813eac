// Client interface of the archive panel manager.
#ifndef PLUGIN_HOST_ARCHIVEPANEL_H_
#define PLUGIN_HOST_ARCHIVEPANEL_H_

#include <velt/velt>

class IArchivePanelManager : public IPolymorph {
public:
    virtual void refresh() = 0;
    // Told that an export has started.
    virtual void exportStarted() = 0;
};

#endif  // PLUGIN_HOST_ARCHIVEPANEL_H_
