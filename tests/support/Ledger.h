// Test helpers around the runtime's ledger of live components.
#ifndef TESTS_SUPPORT_LEDGER_H_
#define TESTS_SUPPORT_LEDGER_H_

#include "client/runtime/Runtime.h"

#include <algorithm>

namespace testsupport {

// Number of live blocks whose description equals `description`.
inline int liveCount(const std::string &description)
{
    const std::vector<velt::LiveBlock> blocks = velt::liveBlocks();
    return int(std::count_if(blocks.begin(), blocks.end(),
                             [&](const velt::LiveBlock &b) { return b.description == description; }));
}

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LEDGER_H_
