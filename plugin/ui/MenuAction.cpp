#include "plugin/ui/MenuAction.h"

#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"
#include "plugin/ui/FrameExport.h"
#include "plugin/ui/Lookup.h"

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
    if (parent)
        parent->addAction(this);
    connect(this, &QAction::triggered, this, &MenuAction::onClicked);
    frameexport::addListener(_secureManager, _sessionManager, this);
    updatePermissions();
}

MenuAction::~MenuAction()
{
    // The references go after this, in reverse order of declaration:
    // _frame, _sessionManager, _secureManager.
    frameexport::removeListener(_secureManager, _sessionManager, this);
}

void MenuAction::updatePermissions()
{
    _allowed = frameexport::exportAllowed(_secureManager);
    updateItem();
}

void MenuAction::updateItem()
{
    setEnabled(frameexport::canExport(_frame, _allowed));
    setVisible(_frame->isPluginGuiVisible());
}

void MenuAction::customEvent(QEvent *event)
{
    frameexport::react(event, _sessionManager, [this] { updateItem(); }, [this] { updatePermissions(); });
}

void MenuAction::onClicked() { frameexport::runExportDialog(_manager, _frame, _debugLevel, menu()); }
