#include "tests/plugin/host/TraceRecorder.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>

namespace tracerecorder {

namespace {

std::mutex &mutex()
{
    static std::mutex m;
    return m;
}

std::vector<Call> &recorded()
{
    static std::vector<Call> v;
    return v;
}

// The runtime's entry points have C++ linkage: looked up by mangled name.
template <class F>
F runtimeFunction(const char *name)
{
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol)
        std::abort();  // the runtime library is always linked
    return reinterpret_cast<F>(symbol);
}

void record(Call call)
{
    std::lock_guard<std::mutex> lock(mutex());
    recorded().push_back(std::move(call));
}

}  // namespace

void clear()
{
    std::lock_guard<std::mutex> lock(mutex());
    recorded().clear();
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(mutex());
    return recorded();
}

int removesOf(const RefCounter *counter)
{
    int n = 0;
    for (const Call &call : calls())
        n += call.remove && call.counter == counter;
    return n;
}

}  // namespace tracerecorder

void VeltObjectTrace_Add(RefCounter *counter, const char *description, int converted)
{
    using Add = void (*)(RefCounter *, const char *, int);
    static const Add runtimeAdd = tracerecorder::runtimeFunction<Add>("_Z19VeltObjectTrace_AddP10RefCounterPKci");
    tracerecorder::record({false, counter, description ? description : "", converted});
    runtimeAdd(counter, description, converted);
}

void VeltObjectTrace_Remove(RefCounter *counter)
{
    using Remove = void (*)(RefCounter *);
    static const Remove runtimeRemove = tracerecorder::runtimeFunction<Remove>("_Z22VeltObjectTrace_RemoveP10RefCounter");
    tracerecorder::record({true, counter, std::string(), 0});
    runtimeRemove(counter);
}
