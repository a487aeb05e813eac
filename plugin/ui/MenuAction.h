// MenuAction: the export entry in a client video frame's action list.
// Enabled while the frame plays recorded video and the current user may
// export; visible as the frame says; triggering it opens the export dialog
// (top-level, since the action has no submenu) for the frame's archive
// source.
//
// GUI thread only. Owned by the parent widget the client passes (Qt), whose
// action list it joins. Holds references to the frame and the two security
// services; registered as a listener with both services from construction to
// destruction.
#ifndef PLUGIN_UI_MENUACTION_H_
#define PLUGIN_UI_MENUACTION_H_

#include "plugin/host/Component.h"
#include "plugin/host/Secure.h"
#include "plugin/host/VideoFrame.h"

#include <QAction>

class MenuAction : public QAction {
    Q_OBJECT

public:
    MenuAction(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel, QWidget *parent);
    ~MenuAction() override;

protected:
    // The frame's and the security services' posted events; show requests
    // are the button's business and are ignored here.
    void customEvent(QEvent *event) override;

private slots:
    void onClicked();
    void updateItem();
    void updatePermissions();

private:
    IComponentManager *_manager;  // not owned
    ComponentRef<secure::ISecureManager> _secureManager;
    ComponentRef<secure::IUserSessionManager> _sessionManager;
    ComponentRef<IVideoFrame> _frame;
    bool _allowed;
    int _debugLevel;
};

#endif  // PLUGIN_UI_MENUACTION_H_
