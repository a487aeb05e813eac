#include "client/runtime/Runtime.h"

#include <map>
#include <mutex>
#include <sstream>
#include <unordered_map>

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, velt::ObjectFactory> factories;
};

Registry &registry()
{
    static Registry *r = new Registry;  // never destroyed: used until exit
    return *r;
}

struct Ledger {
    std::mutex mutex;
    std::unordered_map<const RefCounter *, velt::LiveBlock> live;
    int strayRemoves = 0;
};

Ledger &ledger()
{
    static Ledger *l = new Ledger;
    return *l;
}

}  // namespace

int GetVeltObject(const std::string &name, int /*flags*/, void **object)
{
    velt::ObjectFactory factory;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.factories.find(name);
        if (it != r.factories.end())
            factory = it->second;
    }
    *object = factory ? factory() : nullptr;
    return *object ? 0 : -1;
}

void VeltObjectTrace_Add(RefCounter *counter, const char *description, int /*converted*/)
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    auto it = l.live.find(counter);
    if (it == l.live.end())
        l.live.emplace(counter, velt::LiveBlock{counter, description ? description : "", 1});
    else
        ++it->second.traces;
}

void VeltObjectTrace_Remove(RefCounter *counter)
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.live.erase(counter) == 0)
        ++l.strayRemoves;
}

namespace velt {

void registerFactory(const std::string &name, ObjectFactory factory)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.factories[name] = std::move(factory);
}

void unregisterFactory(const std::string &name)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.factories.erase(name);
}

std::vector<LiveBlock> liveBlocks()
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    std::vector<LiveBlock> result;
    for (const auto &entry : l.live)
        result.push_back(entry.second);
    return result;
}

int strayRemoves()
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.strayRemoves;
}

void resetLedger()
{
    Ledger &l = ledger();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.live.clear();
    l.strayRemoves = 0;
}

std::string describeLiveBlocks()
{
    std::ostringstream out;
    for (const LiveBlock &block : liveBlocks())
        out << "  " << block.description << " (" << block.traces << " trace(s))\n";
    return out.str();
}

}  // namespace velt
