// The stand-in Velt runtime (libvelt.so): the component registry behind
// GetVeltObject and the trace ledger behind VeltObjectTrace_Add/Remove.
//
// Components register a factory under a name or GUID; GetVeltObject makes a
// new object with it. The ledger records every counter block that was traced
// as adopted or converted until its last reference goes, so that tests and
// the client at exit can prove every reference was released exactly once.
//
// Thread-safe: the registry and the ledger each have their own lock.
#ifndef CLIENT_RUNTIME_RUNTIME_H_
#define CLIENT_RUNTIME_RUNTIME_H_

#include <velt/velt>

#include <functional>
#include <string>
#include <vector>

namespace velt {

// Makes a new object and returns it as a pointer to the interface published
// for its name (for example static_cast<ITranslator *>(new Translator)).
using ObjectFactory = std::function<void *()>;

VELT_RUNTIME_API void registerFactory(const std::string &name, ObjectFactory factory);
VELT_RUNTIME_API void unregisterFactory(const std::string &name);

struct LiveBlock {
    const RefCounter *counter;
    std::string description;  // of the first trace call
    int traces;               // Add calls for this block
};

// Blocks traced and not yet removed.
VELT_RUNTIME_API std::vector<LiveBlock> liveBlocks();
// Removes of blocks that were not live (a double release, or a block never traced).
VELT_RUNTIME_API int strayRemoves();
// Forgets everything recorded so far.
VELT_RUNTIME_API void resetLedger();
// One line per live block, for diagnostics.
VELT_RUNTIME_API std::string describeLiveBlocks();

// Wraps an object made by a client component into a reference with a new
// counter block (traced as adopted, with `description`). The block frees the
// object through its virtual destructor, or through `deleter` when given;
// the deleter receives the object as the interface of the last reference
// released (not its complete object), so it must know that interface.
template <class T>
ComponentRef<T> makeRef(T *object, const char *description, void (*deleter)(void *) = nullptr)
{
    if (!object)
        return ComponentRef<T>();
    RefCounter *counter = new RefCounter{{1u}, {1u}, deleter};
    VeltObjectTrace_Add(counter, description, 0);
    return ComponentRef<T>(object, counter);
}

}  // namespace velt

#endif  // CLIENT_RUNTIME_RUNTIME_H_
