// A PostgreSQL catalogue as one shard of several (see ShardedStore.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vextune/matcher/Store.h"

namespace vxt::matcher {

// Where a shard belongs: shard (from 0) of shards, of the catalogue named
// catalogue (a name the first shard made up when the catalogue was made).
struct ShardPlace {
    std::uint32_t shard = 0;
    std::uint32_t shards = 1;
    std::string catalogue;  // empty: whichever the shard records
};

// Opens the store at uri and checks that it records this place (the
// catalogue's name is taken from it when place.catalogue is empty). Read-
// write, an empty store that records none is made this shard: it records
// the place and hands out ids shard + 1 modulo shards from then on. Throws
// StoreError when it is another catalogue's shard, or another place's, or
// records none and cannot become one (read-only, or it holds tracks).
std::unique_ptr<Store> OpenPostgresShard(const std::string& uri, OpenMode mode, const StoreOptions& options,
                                         ShardPlace& place);

}  // namespace vxt::matcher
