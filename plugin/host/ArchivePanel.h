// Client interface of the archive panel manager.
#ifndef PLUGIN_HOST_ARCHIVEPANEL_H_
#define PLUGIN_HOST_ARCHIVEPANEL_H_

#include <velt/velt>

class IArchivePanelManager : public IPolymorph {
public:
    // Its single operation, called when an export starts; what the client
    // does then is its own affair, and it returns nothing the plug-in uses.
    virtual void exportStarted() = 0;
};

#endif  // PLUGIN_HOST_ARCHIVEPANEL_H_
