#include "vextune/matcher/Store.h"

namespace vxt::matcher {

std::unique_ptr<Store> OpenLmdbStore(const std::string&, OpenMode)
{
    throw StoreError("the LMDB store is not built yet");
}

}  // namespace vxt::matcher
