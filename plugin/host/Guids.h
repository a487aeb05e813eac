// Names and GUIDs of the client components the plug-in looks up.
#ifndef PLUGIN_HOST_GUIDS_H_
#define PLUGIN_HOST_GUIDS_H_

namespace guids {
constexpr const char kTranslator[] = "core.Translator";
constexpr const char kEncodedDataQueue[] = "d906df53-29c0-4164-bf87-578f34c0d21b";
constexpr const char kSecureManager[] = "8477b9e0-b0df-11e1-afa6-0800200c9a66";
constexpr const char kUserSessionManager[] = "94dea3c0-b0df-11e1-afa6-0800200c9a66";
constexpr const char kArchivePanelManager[] = "975f82b6-98f0-417b-9098-8ac689c72aad";
constexpr const char kAVFormatManager[] = "d98b9788-39fd-4057-87f2-e5d8108a8148";
}  // namespace guids

#endif  // PLUGIN_HOST_GUIDS_H_
