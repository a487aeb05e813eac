#include "plugin/export/Events.h"

ExportEvent::~ExportEvent() = default;
ControllerEvent::~ControllerEvent() = default;
