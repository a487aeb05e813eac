// Factory: the plug-in's root component. The client gets it from
// VeltGetObject, configures it once with init and then asks it for a tool
// button and a list of actions for every video frame that shows the plug-in.
//
// GUI thread. Owns nothing: the component manager belongs to the client, and
// the buttons and actions it makes belong to the parent widgets the client
// passes. Deleted by VeltDeleteObject.
#ifndef PLUGIN_ENTRY_FACTORY_H_
#define PLUGIN_ENTRY_FACTORY_H_

#include "plugin/host/Component.h"
#include "plugin/host/VideoFrame.h"

constexpr int kPluginInterfaceVersion = 1721;
constexpr const char kPluginName[] = "base.videoframe.ExportArchive";

class Factory : public IComponent, public vo::IVideoFrameGuiPluginFactory {
public:
    Factory();
    ~Factory() override;

    // Reads "DEBUG_LEVEL" (default 0) and keeps the manager.
    bool init(const ComponentRef<ISettings> &settings, IComponentManager *manager) override;
    void deinit() override;
    bool canUnload() override;

    void *overlayInfo() override;
    // `plugin` must be null.
    QWidget *createButton(const ComponentRef<IVideoFrame> &frame, QWidget *parent, void *plugin) override;
    // Always exactly one action. `plugin` must be null.
    QList<QAction *> createActions(const ComponentRef<IVideoFrame> &frame, QWidget *parent, void *plugin) override;

private:
    IComponentManager *_manager;  // not owned; null until init
    int _debugLevel;
};

#endif  // PLUGIN_ENTRY_FACTORY_H_
