#include "ui/ControlButton.h"

#include "host/Guids.h"
#include "host/Translation.h"
#include "ui/FrameExport.h"
#include "ui/Lookup.h"

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
    frameexport::removeListener(_secureManager, _sessionManager, this);
    _frame.reset();
    _sessionManager.reset();
    _secureManager.reset();
}

void ControlButton::updatePermissions()
{
    _allowed = frameexport::exportAllowed(_secureManager);
    updateButton();
}

void ControlButton::updateButton()
{
    const bool archive = !frameexport::archiveSourceOf(_frame).isNull();
    setEnabled(archive && _allowed);
    setVisible(_frame->isPluginGuiVisible());
}

void ControlButton::customEvent(QEvent *event)
{
    switch (frameexport::reactionTo(event, _sessionManager)) {
    case frameexport::Reaction::Update:
        updateButton();
        break;
    case frameexport::Reaction::UpdatePermissions:
        updatePermissions();
        break;
    case frameexport::Reaction::None:
        break;
    }
    if (const auto *show = dynamic_cast<const vo::GuiPluginShowEvent *>(event))
        setVisible(show->show ? _frame->isPluginGuiVisible() : false);
}

void ControlButton::onClicked() { frameexport::runExportDialog(_manager, _frame, _debugLevel, this); }
