// The stand-in client's own view of a channel: its name, for the window's
// title and menus. The client's channel interface offers the plug-in
// nothing of the kind, so the stand-in's sources carry it beside the client
// interfaces; the plug-in never sees it.
#ifndef CLIENT_SERVICES_NAMEDCHANNEL_H_
#define CLIENT_SERVICES_NAMEDCHANNEL_H_

#include <QString>

namespace clientui {

class NamedChannel {
public:
    virtual ~NamedChannel() = default;
    virtual QString channelName() const = 0;
};

}  // namespace clientui

#endif  // CLIENT_SERVICES_NAMEDCHANNEL_H_
