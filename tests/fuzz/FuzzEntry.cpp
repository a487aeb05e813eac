// libFuzzer's entry points for one harness, chosen at compile time by
// VELT_FUZZ_HARNESS (readArchive, informBlocks or importFile).
#include "tests/fuzz/Harness.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzharness::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t sizeBytes)
{
    fuzzharness::VELT_FUZZ_HARNESS(data, sizeBytes);
    return 0;
}
