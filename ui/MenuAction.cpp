#include "ui/MenuAction.h"

#include "host/Guids.h"
#include "host/Translation.h"
#include "ui/FrameExport.h"
#include "ui/Lookup.h"

#include <QMenu>
#include <QWidget>

MenuAction::MenuAction(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel,
                       QWidget *parent)
    : QAction(zkTranslation("MSGS_EXPORT_ARCHIVE"), parent),
      _manager(manager),
      _secureManager(lookupComponent<secure::ISecureManager>(manager, guids::kSecureManager)),
      _sessionManager(lookupComponent<secure::IUserSessionManager>(manager, guids::kUserSessionManager)),
      _frame(frame),
      _allowed(false),
      _debugLevel(debugLevel)
{
    parent->addAction(this);
    connect(this, &QAction::triggered, this, &MenuAction::onClicked);
    frameexport::addListener(_secureManager, _sessionManager, this);
    updatePermissions();
}

MenuAction::~MenuAction()
{
    frameexport::removeListener(_secureManager, _sessionManager, this);
    _frame.reset();
    _sessionManager.reset();
    _secureManager.reset();
}

void MenuAction::updatePermissions()
{
    _allowed = frameexport::exportAllowed(_secureManager);
    updateItem();
}

void MenuAction::updateItem()
{
    const bool archive = !frameexport::archiveSourceOf(_frame).isNull();
    setEnabled(archive && _allowed);
    setVisible(_frame->isPluginGuiVisible());
}

void MenuAction::customEvent(QEvent *event)
{
    switch (frameexport::reactionTo(event, _sessionManager)) {
    case frameexport::Reaction::Update:
        updateItem();
        break;
    case frameexport::Reaction::UpdatePermissions:
        updatePermissions();
        break;
    case frameexport::Reaction::None:
        break;
    }
}

void MenuAction::onClicked() { frameexport::runExportDialog(_manager, _frame, _debugLevel, menu()); }
