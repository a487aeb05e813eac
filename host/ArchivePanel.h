// Client interface of the archive panel manager.
#ifndef HOST_ARCHIVEPANEL_H_
#define HOST_ARCHIVEPANEL_H_

#include <velt/velt>

class IArchivePanelManager : public IPolymorph {
public:
    virtual void refresh() = 0;
    // Told that an export has started.
    virtual void exportStarted() = 0;
};

#endif  // HOST_ARCHIVEPANEL_H_
