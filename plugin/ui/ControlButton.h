// ControlButton: the export tool button on a client video frame. Enabled
// while the frame plays recorded video and the current user may export;
// shown as the frame says; a click opens the export dialog for the frame's
// archive source.
//
// GUI thread only. Owned by the parent widget the client passes (Qt). Holds
// references to the frame and the two security services; registered as a
// listener with both services from construction to destruction.
#ifndef PLUGIN_UI_CONTROLBUTTON_H_
#define PLUGIN_UI_CONTROLBUTTON_H_

#include "plugin/host/Component.h"
#include "plugin/host/Secure.h"
#include "plugin/host/VideoFrame.h"

#include <QToolButton>

class ControlButton : public QToolButton {
    Q_OBJECT

public:
    ControlButton(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel,
                  QWidget *parent);
    ~ControlButton() override;

protected:
    // The frame's and the security services' posted events.
    void customEvent(QEvent *event) override;

private slots:
    void onClicked();
    void updateButton();
    void updatePermissions();

private:
    IComponentManager *_manager;  // not owned
    ComponentRef<secure::ISecureManager> _secureManager;
    ComponentRef<secure::IUserSessionManager> _sessionManager;
    ComponentRef<IVideoFrame> _frame;
    bool _allowed;
    int _debugLevel;
};

#endif  // PLUGIN_UI_CONTROLBUTTON_H_
