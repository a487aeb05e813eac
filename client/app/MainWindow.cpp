#include "client/app/MainWindow.h"

#include "client/app/ArchivePlayer.h"
#include "client/app/ClientHost.h"
#include "client/app/FrameWidget.h"
#include "client/app/TimeLine.h"
#include "client/services/NamedChannel.h"

#include <QActionGroup>
#include <QApplication>
#include <QDateTime>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>

namespace clientapp {

MainWindow::MainWindow(ClientHost &host, const ComponentRef<IArchiveVideoSource> &source, const QString &title)
    : _host(host), _source(source)
{
    setWindowTitle(tr("velt-client — %1").arg(title));
    if (const auto *named = dynamic_cast<const clientui::NamedChannel *>(_source.get()))
        _channel = named->channelName();
    if (_channel.isEmpty())
        _channel = tr("Camera 1");

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);
    _frame = new FrameWidget(central);
    _timeLine = new TimeLine(central);
    layout->addWidget(_frame, 1);
    layout->addWidget(_timeLine);
    setCentralWidget(central);

    _player = new ArchivePlayer(_source, this);
    _timeLine->setFragments(_player->fragments());
    connect(_player, &ArchivePlayer::pictureChanged, _frame, &FrameWidget::setPicture);
    connect(_player, &ArchivePlayer::positionChanged, _timeLine, &TimeLine::setPosition);
    connect(_player, &ArchivePlayer::positionChanged, this, &MainWindow::updateTime);
    connect(_timeLine, &TimeLine::seekRequested, _player, &ArchivePlayer::seek);

    _timeLabel = new QLabel(this);
    _timeLabel->setMinimumWidth(_timeLabel->fontMetrics().horizontalAdvance(QStringLiteral("0000-00-00 00:00:00.000  ")));
    _userLabel = new QLabel(this);
    statusBar()->addPermanentWidget(_userLabel);
    buildMenus();

    _frame->showArchive(_source);
    _frame->attachPlugin(_host.factory());
    updateTime(_player->positionMs());
    updateUserState();
    resize(1000, 680);
}

MainWindow::~MainWindow()
{
    // The player's references go before the source's (a member).
    delete _player;
}

void MainWindow::buildMenus()
{
    QStyle *style = QApplication::style();
    _playAction = new QAction(style->standardIcon(QStyle::SP_MediaPlay), tr("&Play"), this);
    _playAction->setShortcut(Qt::Key_Space);
    connect(_playAction, &QAction::triggered, _player, &ArchivePlayer::togglePlay);
    connect(_player, &ArchivePlayer::playingChanged, this, [this, style](bool playing) {
        _playAction->setIcon(style->standardIcon(playing ? QStyle::SP_MediaPause : QStyle::SP_MediaPlay));
        _playAction->setText(playing ? tr("&Pause") : tr("&Play"));
    });

    _liveAction = new QAction(tr("&Live video"), this);
    _liveAction->setCheckable(true);
    _liveAction->setShortcut(Qt::Key_L);
    connect(_liveAction, &QAction::toggled, this, &MainWindow::setLive);

    QToolBar *toolBar = addToolBar(tr("Player"));
    toolBar->setMovable(false);
    toolBar->addAction(_playAction);
    toolBar->addWidget(_timeLabel);
    toolBar->addSeparator();
    toolBar->addAction(_liveAction);

    QMenu *fileMenu = menuBar()->addMenu(tr("&File"));
    fileMenu->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);

    QMenu *viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->addAction(_playAction);
    viewMenu->addAction(_liveAction);

    QMenu *userMenu = menuBar()->addMenu(tr("&User"));
    auto *users = new QActionGroup(this);
    _operatorAction = userMenu->addAction(tr("Sign in as &operator (may export)"));
    _guestAction = userMenu->addAction(tr("Sign in as &guest (may not export)"));
    for (QAction *action : {_operatorAction, _guestAction}) {
        action->setCheckable(true);
        users->addAction(action);
    }
    connect(_operatorAction, &QAction::triggered, this, [this] { signIn(QString::fromLatin1(kOperator)); });
    connect(_guestAction, &QAction::triggered, this, [this] { signIn(QString::fromLatin1(kGuest)); });
    userMenu->addSeparator();
    _permissionAction = userMenu->addAction(tr("&Export permission of the current user"));
    _permissionAction->setCheckable(true);
    connect(_permissionAction, &QAction::triggered, this, &MainWindow::setExportPermission);

    // The frame's own entries come first in its context menu; the plug-in
    // adds its action after them.
    _frame->addAction(_playAction);
    _frame->addAction(_liveAction);
    auto *separator = new QAction(_frame);
    separator->setSeparator(true);
    _frame->addAction(separator);
}

void MainWindow::setLive(bool live)
{
    if (live == _frame->isLive())
        return;
    _liveAction->setChecked(live);
    if (live) {
        _resumeAfterLive = _player->isPlaying();
        _player->pause();
        _frame->showLive(_channel);
    } else {
        _frame->showArchive(_source);
        if (_resumeAfterLive)
            _player->play();
    }
    _playAction->setEnabled(!live);
    _timeLine->setEnabled(!live);
    updateTime(_player->positionMs());
}

void MainWindow::signIn(const QString &user)
{
    _host.signIn(user);
    updateUserState();
}

void MainWindow::setExportPermission(bool allowed)
{
    _host.setCurrentUserMayExport(allowed);
    updateUserState();
}

void MainWindow::updateUserState()
{
    const QString user = _host.currentUser();
    const bool allowed = _host.currentUserMayExport();
    _operatorAction->setChecked(user == QLatin1String(kOperator));
    _guestAction->setChecked(user == QLatin1String(kGuest));
    _permissionAction->setChecked(allowed);
    _userLabel->setText(allowed ? tr("Signed in as %1 — may export the archive").arg(user)
                                : tr("Signed in as %1 — may not export the archive").arg(user));
}

void MainWindow::updateTime(qint64 timeMs)
{
    if (_frame->isLive()) {
        _timeLabel->setText(tr("live"));
        return;
    }
    const QString text = QDateTime::fromMSecsSinceEpoch(timeMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    _timeLabel->setText(text);
    _frame->setCaption(tr("%1  ARCHIVE  %2").arg(_channel, text.left(19)));
}

}  // namespace clientapp
