#include "vextune/matcher/Store.h"

namespace vxt::matcher {

std::unique_ptr<Store> OpenPostgresStore(const std::string&, OpenMode)
{
    throw StoreError("the PostgreSQL store is not built yet");
}

}  // namespace vxt::matcher
