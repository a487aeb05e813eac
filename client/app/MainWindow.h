// MainWindow: the stand-in client's window for one channel. A video frame
// that plays the channel's archive (with the export plug-in's button and
// menu action on it), a time line of the recorded fragments, play/pause,
// the current local time, a switch between live and archive video, and a
// user menu that signs in the operator or the guest and withdraws or grants
// the current user's export permission.
//
// GUI thread. Owns its widgets and the player; the host (services and
// plug-in) belongs to the caller and outlives the window.
#ifndef CLIENT_APP_MAINWINDOW_H_
#define CLIENT_APP_MAINWINDOW_H_

#include "plugin/host/Sources.h"

#include <QMainWindow>

class QAction;
class QLabel;

namespace clientapp {

class ArchivePlayer;
class ClientHost;
class FrameWidget;
class TimeLine;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow(ClientHost &host, const ComponentRef<IArchiveVideoSource> &source, const QString &title);
    ~MainWindow() override;

    FrameWidget *frameWidget() const { return _frame; }
    ArchivePlayer *player() const { return _player; }

public slots:
    void setLive(bool live);
    void signIn(const QString &user);
    void setExportPermission(bool allowed);

private:
    void buildMenus();
    void updateTime(qint64 timeMs);
    void updateUserState();

    ClientHost &_host;
    ComponentRef<IArchiveVideoSource> _source;
    QString _channel;
    FrameWidget *_frame;
    TimeLine *_timeLine;
    ArchivePlayer *_player;
    QLabel *_timeLabel;
    QLabel *_userLabel;
    QAction *_playAction;
    QAction *_liveAction;
    QAction *_operatorAction;
    QAction *_guestAction;
    QAction *_permissionAction;
    bool _resumeAfterLive = false;
};

}  // namespace clientapp

#endif  // CLIENT_APP_MAINWINDOW_H_
