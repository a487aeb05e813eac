// Records every VeltObjectTrace_Add and VeltObjectTrace_Remove call made in
// the test binary that links TraceRecorder.cpp, then passes it on to the
// runtime, so the ledger still sees it. The executable's definitions of the
// two functions take precedence over libvelt's; the recorder reaches the
// runtime's own through dlsym(RTLD_NEXT). Thread-safe.
#ifndef TESTS_PLUGIN_HOST_TRACERECORDER_H_
#define TESTS_PLUGIN_HOST_TRACERECORDER_H_

#include <velt/velt>

#include <string>
#include <vector>

namespace tracerecorder {

struct Call {
    bool remove;  // a Remove call; otherwise an Add call
    const RefCounter *counter;
    std::string description;  // Add only
    int converted;            // Add only
};

// Forgets what was recorded.
void clear();
std::vector<Call> calls();
int removesOf(const RefCounter *counter);

}  // namespace tracerecorder

#endif  // TESTS_PLUGIN_HOST_TRACERECORDER_H_
