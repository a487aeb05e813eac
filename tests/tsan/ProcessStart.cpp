// Keeps ThreadSanitizer's view of the main thread whole across QProcess
// starts in the TSan test runs (preloaded with QtEventHandoff.cpp).
// QProcess starts a child with vfork semantics, clone(CLONE_VM |
// CLONE_VFORK): until it runs the program, the child works in the parent's
// memory, TSan's state included, and the calls TSan intercepts in it leave
// the parent's main thread such that TSan no longer sees its locks: every
// hand-off to another thread after the first process start would be
// reported. Without CLONE_VM the child works on a copy, as after fork(); the
// parent still waits until the child runs the program or ends.
//
// Any thread; stateless apart from the real function found once.
#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list more;
    va_start(more, arg);
    auto *parentTid = va_arg(more, pid_t *);
    void *tls = va_arg(more, void *);
    auto *childTid = va_arg(more, pid_t *);
    va_end(more);
    using Function = int (*)(int (*)(void *), void *, int, void *, ...);
    static const auto libc = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "clone"));
    if ((flags & CLONE_VM) && (flags & CLONE_VFORK))
        flags &= ~CLONE_VM;
    return libc(fn, stack, flags, arg, parentTid, tls, childTid);
}
