#include "store_suite.h"

namespace vxt::matcher::testing {

INSTANTIATE_TEST_SUITE_P(Memory, StoreSuite,
                         ::testing::Values(StoreKind{"Memory", [] { return MakeMemoryStore(); }, {}}), KindName);

}  // namespace vxt::matcher::testing
