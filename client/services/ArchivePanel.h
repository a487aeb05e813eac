// The stand-in client's archive panel manager: it only counts the export
// notifications it gets, so that tests and the client can see them.
//
// Any thread (the count is atomic); handed out through velt::makeRef.
#ifndef CLIENT_SERVICES_ARCHIVEPANEL_H_
#define CLIENT_SERVICES_ARCHIVEPANEL_H_

#include "plugin/host/ArchivePanel.h"

#include <atomic>

namespace clientui {

class ArchivePanelManager : public IArchivePanelManager {
public:
    void exportStarted() override { ++_exportsStarted; }
    int exportsStarted() const { return _exportsStarted; }

private:
    std::atomic<int> _exportsStarted{0};
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_ARCHIVEPANEL_H_
