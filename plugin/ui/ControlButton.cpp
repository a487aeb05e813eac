#include "plugin/ui/ControlButton.h"

#include "plugin/host/Guids.h"
#include "plugin/host/Translation.h"
#include "plugin/ui/FrameExport.h"
#include "plugin/ui/Lookup.h"

#include <QIcon>

ControlButton::ControlButton(IComponentManager *manager, const ComponentRef<IVideoFrame> &frame, int debugLevel,
                             QWidget *parent)
    : QToolButton(parent),
      _manager(manager),
      _secureManager(lookupComponent<secure::ISecureManager>(manager, guids::kSecureManager)),
      _sessionManager(lookupComponent<secure::IUserSessionManager>(manager, guids::kUserSessionManager)),
      _frame(frame),
      _allowed(false),
      _debugLevel(debugLevel)
{
    setAutoRaise(true);
    setIcon(QIcon(QStringLiteral("images/16x16/export_archive.png")));
    setToolTip(zkTranslation("MSGS_EXPORT_ARCHIVE"));
    connect(this, &QToolButton::clicked, this, &ControlButton::onClicked);
    frameexport::addListener(_secureManager, _sessionManager, this);
    updatePermissions();
}

ControlButton::~ControlButton()
{
    // The references go after this, in reverse order of declaration:
    // _frame, _sessionManager, _secureManager.
    frameexport::removeListener(_secureManager, _sessionManager, this);
}

void ControlButton::updatePermissions()
{
    _allowed = frameexport::exportAllowed(_secureManager);
    updateButton();
}

void ControlButton::updateButton()
{
    setEnabled(frameexport::canExport(_frame, _allowed));
    setVisible(_frame->isPluginGuiVisible());
}

void ControlButton::customEvent(QEvent *event)
{
    frameexport::react(event, _sessionManager, [this] { updateButton(); }, [this] { updatePermissions(); });
    if (const auto *show = dynamic_cast<const vo::GuiPluginShowEvent *>(event))
        setVisible(show->show ? _frame->isPluginGuiVisible() : false);
}

void ControlButton::onClicked() { frameexport::runExportDialog(_manager, _frame, _debugLevel, this); }
