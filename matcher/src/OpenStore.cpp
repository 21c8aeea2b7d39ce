// Which store a catalogue's name stands for.
#include "LmdbStore.h"
#include "vextune/matcher/Store.h"

namespace vxt::matcher {

std::unique_ptr<Store> OpenStore(const std::string& where, OpenMode mode, const StoreOptions& options)
{
    if (where == ":memory:")
        return MakeMemoryStore();
    if (where.starts_with("postgresql://") || where.starts_with("postgres://"))
        return OpenPostgresStore(where, mode, options);
    if (where.empty())
        throw StoreError("no catalogue named");
    LmdbOptions lmdb;
    lmdb.diagnostics = options.diagnostics;
    return OpenLmdbStore(where, mode, lmdb);
}

}  // namespace vxt::matcher
