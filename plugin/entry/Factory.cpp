#include "plugin/entry/Factory.h"

#include "plugin/ui/ControlButton.h"
#include "plugin/ui/MenuAction.h"

#include <cassert>

Factory::Factory() : _manager(nullptr), _debugLevel(0) {}

Factory::~Factory() = default;

bool Factory::init(const ComponentRef<ISettings> &settings, IComponentManager *manager)
{
    _debugLevel = settings->getInt("DEBUG_LEVEL", 0);
    _manager = manager;
    return true;
}

void Factory::deinit() {}

bool Factory::canUnload() { return true; }

void *Factory::overlayInfo() { return nullptr; }

QWidget *Factory::createButton(const ComponentRef<IVideoFrame> &frame, QWidget *parent, void *plugin)
{
    assert(!plugin);
    (void)plugin;
    return new ControlButton(_manager, frame, _debugLevel, parent);
}

QList<QAction *> Factory::createActions(const ComponentRef<IVideoFrame> &frame, QWidget *parent, void *plugin)
{
    assert(!plugin);
    (void)plugin;
    return QList<QAction *>{new MenuAction(_manager, frame, _debugLevel, parent)};
}
