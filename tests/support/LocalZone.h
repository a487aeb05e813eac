// Fixes the process's local time zone for tests whose expectations are local
// times. Call it from a namespace-scope initializer, before any thread or Qt
// asks for local time:
//   const bool g_fixedZone = testsupport::fixLocalZone("Europe/Berlin");
#ifndef TESTS_SUPPORT_LOCALZONE_H_
#define TESTS_SUPPORT_LOCALZONE_H_

#include <QtGlobal>
#include <time.h>

namespace testsupport {
inline bool fixLocalZone(const char *zone) { return qputenv("TZ", zone), tzset(), true; }
}  // namespace testsupport

#endif  // TESTS_SUPPORT_LOCALZONE_H_
