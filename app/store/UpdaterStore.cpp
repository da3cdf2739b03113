#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "Log.h"
#include "aDirectory.h"

namespace {

void _ensure_directory(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(unsigned(err)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

std::string serialName(unsigned serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

struct BuildListing {
    std::vector<UpdaterStoreItem>* items;
};

bool collectBuild(const aDirectoryListData* data, void* context) {
    const char* slash = std::strrchr(data->path, '/');
    const char* own = slash ? slash + 1 : data->path;
    if (own[0] == '.') return true;  // ".", ".." and hidden files such as .settings
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->path, int(data->isDirectory), int(data->size));
    std::string parent = slash ? std::string(data->path, slash) : std::string();
    UpdaterStoreItem item;
    if (data->isDirectory) {
        item = UpdaterStoreItem(parent.c_str(), own, STORE_ITEM_DIRECTORY);
    } else {
        // A plain file has no attribute file to load; the listing only needs its name.
        item.basePath = parent;
        item.name = own;
        item.itemType = STORE_ITEM_FILE;
    }
    static_cast<BuildListing*>(context)->items->push_back(std::move(item));
    return true;
}

}  // namespace

UpdaterStore::UpdaterStore(const char* root) : rootPath(root ? root : "") {
    if (rootPath.empty()) throw std::runtime_error("UpdaterStore: no root directory given");
    _ensure_directory(rootPath);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) { return AddDevice(serialName(serial).c_str()); }

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    // A device name is one path component inside the root, nothing else.
    if (!name || !*name || std::strchr(name, '/') || !std::strcmp(name, ".") || !std::strcmp(name, ".."))
        throw std::runtime_error(std::string("UpdaterStore: invalid device name ") + (name ? name : "(null)"));
    _ensure_directory(BuildPath(rootPath.c_str(), name, nullptr));
    return UpdaterStoreItem(rootPath.c_str(), name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
    return FindDevice(serialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    return UpdaterStoreItem::Search(rootPath, name, item);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    BuildListing listing{&items};
    aDirectory_List(device.Path().c_str(), collectBuild, &listing);
    return true;
}
