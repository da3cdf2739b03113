// The local firmware store: one directory per module under a root.
#pragma once

#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

class UpdaterStore {
public:
    // Ensures the root directory; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const char* root);

    const char* BasePath() const { return rootPath.c_str(); }

    // Ensure root/SERIAL (throws like the constructor) and open it as an item.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);

    // Substring search among the root's entries.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);

    // Appends the module directory's entries whose names do not start with ".".
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

    std::string rootPath;
};
