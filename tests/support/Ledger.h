// Test helpers around the runtime's ledger of live components.
#ifndef TESTS_SUPPORT_LEDGER_H_
#define TESTS_SUPPORT_LEDGER_H_

#include "client/runtime/Runtime.h"

namespace testsupport {

// The per-test ledger check (on by default). A test that keeps components
// alive on purpose across tests (a shared fixture) turns it off.
bool ledgerCheckEnabled();
void setLedgerCheckEnabled(bool enabled);

// Number of live blocks whose description equals `description`.
int liveCount(const std::string &description);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_LEDGER_H_
