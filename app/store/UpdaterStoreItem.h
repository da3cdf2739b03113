// One directory or file of the local firmware store, with its attributes.
#pragma once

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint32_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,
};

class UpdaterStoreItem;

// Search state of a lookup by (partial) name.
struct result_t {
    std::string target;
    bool found = false;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    // Loads base/name/.settings, creating it when missing.
    UpdaterStoreItem(const char* base, const char* name, store_item_t type);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // base/name
    std::string Path() const;

    bool FileExists(const char* file);
    // Replaces base/name/file atomically. aErrNotFound for null data or when
    // nothing can be created there; aErrIO when writing fails.
    aErr WriteFile(const char* file, const unsigned char* data, unsigned long length);
    // Throws std::runtime_error("Invalid bird " + path) when the file fails
    // the signature check, or "Failed to load bird data" when it cannot load.
    BirdFile ReadBirdFile(const char* file);

    // Finds the first entry of `directory` whose name contains `target`;
    // fills `item` (when given) from it. Logs under `searchName`.
    static bool Search(const std::string& directory, const char* target, UpdaterStoreItem* item);

    std::string basePath;
    std::string name;
    store_item_t itemType = STORE_ITEM_NONE;
    KeyValueStore attributes;
};
