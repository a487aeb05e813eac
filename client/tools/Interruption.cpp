#include "client/tools/Interruption.h"

#include <csignal>

namespace tools {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void onSignal(int)
{
    g_interrupted = 1;
}

}  // namespace

void catchInterruption()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

bool interrupted()
{
    return g_interrupted != 0;
}

}  // namespace tools
