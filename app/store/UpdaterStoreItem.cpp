#include "UpdaterStoreItem.h"

#include <cstring>
#include <stdexcept>

#include "AtomicFile.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

// Splits an entry path from a directory listing into parent and own name.
void splitPath(const char* path, std::string& parent, std::string& own) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        parent.clear();
        own = path;
        return;
    }
    parent.assign(path, slash);
    own = slash + 1;
}

bool searchEntry(const aDirectoryListData* data, void* context) {
    auto* search = static_cast<result_t*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path, int(data->isDirectory),
             int(data->size), search->target.c_str());
    std::string parent, own;
    splitPath(data->path, parent, own);
    if (own == "." || own == ".." || own.find(search->target) == std::string::npos) return true;
    search->found = true;
    if (search->item) {
        *search->item = UpdaterStoreItem(parent.c_str(), own.c_str(),
                                         data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

}  // namespace

UpdaterStoreItem::UpdaterStoreItem(const char* base, const char* entryName, store_item_t type)
    : basePath(base ? base : ""), name(entryName ? entryName : ""), itemType(type) {
    attributes.Load(BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
}

std::string UpdaterStoreItem::Path() const { return BuildPath(basePath.c_str(), name.c_str(), nullptr); }

bool UpdaterStoreItem::Search(const std::string& directory, const char* target, UpdaterStoreItem* item) {
    result_t search;
    search.target = target ? target : "";
    search.item = item;
    if (target) aDirectory_List(directory.c_str(), searchEntry, &search);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", search.found ? "Found" : "Not Found",
             search.target.c_str());
    return search.found;
}

bool UpdaterStoreItem::FileExists(const char* file) { return Search(Path(), file, nullptr); }

aErr UpdaterStoreItem::WriteFile(const char* file, const unsigned char* data, unsigned long length) {
    if (!data || !file || !IsValid()) return aErrNotFound;
    std::string path = BuildPath(basePath.c_str(), name.c_str(), file, nullptr);
    int error = 0;
    switch (AtomicFile::Replace(path, data, length, &error)) {
    case AtomicFile::Result::Ok:
        return aErrNone;
    case AtomicFile::Result::OpenFailed:
        Log::log(DEBUG_Updater, "UpdaterStore: cannot create %s (%d)\n", path.c_str(), error);
        return aErrNotFound;
    case AtomicFile::Result::WriteFailed:
        break;
    }
    Log::log(DEBUG_Updater, "UpdaterStore: writing %s failed (%d)\n", path.c_str(), error);
    return aErrIO;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file) {
    std::string path = BuildPath(basePath.c_str(), name.c_str(), file ? file : "", nullptr);
    if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}
