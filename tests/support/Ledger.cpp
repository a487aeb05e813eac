#include "tests/support/Ledger.h"

namespace testsupport {

namespace {
bool g_ledgerCheck = true;
}

bool ledgerCheckEnabled() { return g_ledgerCheck; }
void setLedgerCheckEnabled(bool enabled) { g_ledgerCheck = enabled; }

int liveCount(const std::string &description)
{
    int n = 0;
    for (const velt::LiveBlock &block : velt::liveBlocks())
        n += block.description == description;
    return n;
}

}  // namespace testsupport
