// The tests every store passes: each store's test binary instantiates
// StoreSuite with a StoreKind of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vextune/matcher/Store.h"

namespace vxt::matcher::testing {

struct StoreKind {
    std::string name;
    // A new, empty store.
    std::function<std::unique_ptr<Store>()> fresh;
    // The store last made by fresh, opened again once its handle is gone;
    // empty for a store that does not outlive its handle.
    std::function<std::unique_ptr<Store>(OpenMode)> reopen;
    // Ids are 1, 2, 3, ... in the order tracks are added (a store of
    // shards hands them out by shard instead).
    bool ids_in_order = true;
};

class StoreSuite : public ::testing::TestWithParam<StoreKind> {
protected:
    void SetUp() override { store = GetParam().fresh(); }

    // Drops the handle and opens the same store again.
    void Reopen(OpenMode mode = OpenMode::ReadWrite)
    {
        store.reset();
        store = GetParam().reopen(mode);
    }

    std::unique_ptr<Store> store;
};

inline std::string KindName(const ::testing::TestParamInfo<StoreKind>& info)
{
    return info.param.name;
}

// "t12": names that differ by a number.
inline std::string Numbered(const char* prefix, std::uint32_t n)
{
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// A track of a store's own tests, named after its content.
inline TrackInfo SyntheticTrack(const std::string& content, std::uint32_t frames = 1000)
{
    TrackInfo info;
    info.title = "title " + content;
    info.artist = "artist";
    info.source = "/music/" + content + ".ogg";
    info.content = content;
    info.frames = frames;
    return info;
}

}  // namespace vxt::matcher::testing
