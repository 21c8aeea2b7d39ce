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
    lmdb.any_index_format = options.any_index_format;
    return OpenLmdbStore(where, mode, lmdb);
}

std::pair<std::uint64_t, std::uint64_t> CompactStore(const std::string& where, const StoreOptions& options)
{
    if (where == ":memory:" || where.starts_with("postgresql://") || where.starts_with("postgres://"))
        throw StoreError(where + ": only an LMDB catalogue (a folder) is compacted");
    if (where.empty())
        throw StoreError("no catalogue named");
    LmdbOptions lmdb;
    lmdb.diagnostics = options.diagnostics;
    return CompactLmdbStore(where, lmdb);
}

}  // namespace vxt::matcher
