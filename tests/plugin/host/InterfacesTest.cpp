// The client's interfaces as the plug-in declares them must be the client's
// own: every operation in its place and no other. The plug-in calls through
// table slots, so an operation added, dropped or moved in a declaration
// sends a call into the wrong operation of the real client, and the
// stand-in client, built from the same headers, would never notice.
//
// Each row is one interface with the slots of its operations as the
// client's interface lists them: the two destructor slots of the root
// (IPolymorph, or the interface's own virtual destructor) come first, then
// the operations in order. "slots" is where a virtual added after the last
// one would go, so that an operation appended at the end is caught too.
// Slots are read from pointers to members (Itanium C++ ABI).
#include "plugin/host/Archive.h"
#include "plugin/host/ArchivePanel.h"
#include "plugin/host/Codecs.h"
#include "plugin/host/Component.h"
#include "plugin/host/Secure.h"
#include "plugin/host/Sources.h"
#include "plugin/host/VideoFrame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// The table slot of a virtual operation; -1 for one that is not virtual.
template <class C, class F>
std::ptrdiff_t slotOf(F C::*operation)
{
    struct {
        uintptr_t ptr;  // 1 + the slot's offset in the table, for a virtual
        ptrdiff_t adjustment;
    } representation;
    static_assert(sizeof operation == sizeof representation, "Itanium C++ ABI member pointer");
    std::memcpy(&representation, &operation, sizeof representation);
    if ((representation.ptr & 1) == 0)
        return -1;
    return std::ptrdiff_t((representation.ptr - 1) / sizeof(void *));
}

// Where a virtual declared after the interface's last one goes.
template <class I>
struct Appended : I {
    virtual void appended() {}
};
template <class I>
std::ptrdiff_t slotsOf()
{
    return slotOf(&Appended<I>::appended);
}

#define OPERATION(I, name) +(" " #name " " + std::to_string(slotOf(&I::name)))
#define SLOTS(I) +("; " + std::to_string(slotsOf<I>()) + " slots")

TEST(Interfaces, EveryClientInterfaceHasExactlyTheClientsOperationsInTheirSlots)
{
    const struct {
        std::string declared;
        const char *client;
    } rows[] = {
        {std::string("IComponent:") OPERATION(IComponent, init) OPERATION(IComponent, deinit) OPERATION(IComponent, canUnload)
             SLOTS(IComponent),
         "IComponent: init 2 deinit 3 canUnload 4; 5 slots"},
        {std::string("IComponentManager:") OPERATION(IComponentManager, getComponent) SLOTS(IComponentManager),
         "IComponentManager: getComponent 2; 3 slots"},
        {std::string("ISettings:") OPERATION(ISettings, getInt) SLOTS(ISettings), "ISettings: getInt 2; 3 slots"},
        {std::string("ITranslator:") OPERATION(ITranslator, translate) SLOTS(ITranslator), "ITranslator: translate 2; 3 slots"},
        {std::string("ISecureManager:") OPERATION(secure::ISecureManager, hasPermission)
             OPERATION(secure::ISecureManager, addListener) OPERATION(secure::ISecureManager, removeListener)
                 SLOTS(secure::ISecureManager),
         "ISecureManager: hasPermission 2 addListener 3 removeListener 4; 5 slots"},
        {std::string("IUserSessionManager:") OPERATION(secure::IUserSessionManager, currentSessionId)
             OPERATION(secure::IUserSessionManager, addListener)
                 OPERATION(secure::IUserSessionManager, removeListener) SLOTS(secure::IUserSessionManager),
         "IUserSessionManager: currentSessionId 2 addListener 3 removeListener 4; 5 slots"},
        {std::string("IArchivePanelManager:") OPERATION(IArchivePanelManager, exportStarted) SLOTS(IArchivePanelManager),
         "IArchivePanelManager: exportStarted 2; 3 slots"},
        {std::string("IVideoFrame:") OPERATION(IVideoFrame, videoSource) OPERATION(IVideoFrame, isPluginGuiVisible)
             SLOTS(IVideoFrame),
         "IVideoFrame: videoSource 2 isPluginGuiVisible 3; 4 slots"},
        {std::string("IVideoFrameGuiPluginFactory:") OPERATION(vo::IVideoFrameGuiPluginFactory, overlayInfo)
             OPERATION(vo::IVideoFrameGuiPluginFactory, createButton)
                 OPERATION(vo::IVideoFrameGuiPluginFactory, createActions) SLOTS(vo::IVideoFrameGuiPluginFactory),
         "IVideoFrameGuiPluginFactory: overlayInfo 2 createButton 3 createActions 4; 5 slots"},
        // The channel has no operation of its own: the data source's first
        // one follows the root's destructors.
        {std::string("IChannel:") SLOTS(IChannel), "IChannel:; 2 slots"},
        {std::string("IDataSource:") OPERATION(IDataSource, archiveReader) SLOTS(IDataSource),
         "IDataSource: archiveReader 2; 3 slots"},
        {std::string("IArchiveVideoSource:") OPERATION(IArchiveVideoSource, videoSource) SLOTS(IArchiveVideoSource),
         "IArchiveVideoSource: videoSource 3; 4 slots"},
        {std::string("IArchiveReader:") OPERATION(IArchiveReader, beginTime) OPERATION(IArchiveReader, endTime)
             OPERATION(IArchiveReader, hold) OPERATION(IArchiveReader, fragmentIndex)
                 OPERATION(IArchiveReader, blockSource) SLOTS(IArchiveReader),
         "IArchiveReader: beginTime 2 endTime 3 hold 4 fragmentIndex 5 blockSource 6; 7 slots"},
        // One operation the plug-in never calls lies between these two.
        {std::string("IFragmentIndex:") OPERATION(IFragmentIndex, fragments) OPERATION(IFragmentIndex, timeBounds)
             SLOTS(IFragmentIndex),
         "IFragmentIndex: fragments 2 timeBounds 4; 5 slots"},
        {std::string("IBlockSource:") OPERATION(IBlockSource, feed) SLOTS(IBlockSource), "IBlockSource: feed 2; 3 slots"},
        {std::string("IEncodedDataQueue:") OPERATION(IEncodedDataQueue, readBlock) OPERATION(IEncodedDataQueue, setMaxBlocks)
             OPERATION(IEncodedDataQueue, setMaxBytes) OPERATION(IEncodedDataQueue, setMode)
                 SLOTS(IEncodedDataQueue),
         "IEncodedDataQueue: readBlock 2 setMaxBlocks 3 setMaxBytes 4 setMode 5; 6 slots"},
        {std::string("IAVFormatFactory:") OPERATION(IAVFormatFactory, createInformer) SLOTS(IAVFormatFactory),
         "IAVFormatFactory: createInformer 2; 3 slots"},
        {std::string("IAVFormatManager:") SLOTS(IAVFormatManager), "IAVFormatManager:; 2 slots"},
        {std::string("IAVInformer:") OPERATION(IAVInformer, addBlock) OPERATION(IAVInformer, isReady) SLOTS(IAVInformer),
         "IAVInformer: addBlock 2 isReady 3; 4 slots"},
        {std::string("IAVInformer_LibavExport:") OPERATION(IAVInformer_LibavExport, fillStream)
             OPERATION(IAVInformer_LibavExport, fillPacket) SLOTS(IAVInformer_LibavExport),
         "IAVInformer_LibavExport: fillStream 4 fillPacket 5; 6 slots"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.declared, row.client);
}

}  // namespace
