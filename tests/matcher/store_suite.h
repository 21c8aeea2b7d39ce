// The tests every store passes: each store's test binary instantiates
// StoreSuite with a StoreKind of its own.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace vxt::matcher::testing
