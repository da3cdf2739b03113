// Registry of links: ids (never reused), use counts, keys per transport, and
// the creation and destruction of links over a caller's stream.
#include <new>

#include "aDefs.h"
#include "aLinkRecord.h"

namespace {

constexpr uint32_t kAnonymousIdentifier = 0xFFFFFFFF;

struct Registry {
  aMutex* mutex;
  aLinkEntry* head;  // newest first
  uint32_t nextId;
};

// Never destroyed: links may outlive the unwinding of statics at exit.
Registry& _links() {
  static Registry* registry = new Registry{aMutex_Create("aLink_Managed"), nullptr, 1};
  return *registry;
}

class RegistryLock {
 public:
  RegistryLock() : ok_(aMutex_Lock(_links().mutex) == aErrNone) {}
  ~RegistryLock() {
    if (ok_) aMutex_Unlock(_links().mutex);
  }
  bool ok() const { return ok_; }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

 private:
  bool ok_;
};

template <typename Match>
aLinkEntry* sFind(Match match) {
  RegistryLock lock;
  if (!lock.ok()) return nullptr;
  for (aLinkEntry* e = _links().head; e != nullptr; e = e->next)
    if (match(*e)) return e;
  return nullptr;
}

aLinkEntry* sExtractEntry(uint32_t id) {
  RegistryLock lock;
  if (!lock.ok()) return nullptr;
  Registry& registry = _links();
  for (aLinkEntry** at = &registry.head; *at != nullptr; at = &(*at)->next) {
    if ((*at)->id != id) continue;
    aLinkEntry* entry = *at;
    *at = entry->next;
    entry->next = nullptr;
    if (registry.head == nullptr) aDebug_Printf(aDEBUG_LINK, "NO MORE LINKS\n");
    return entry;
  }
  return nullptr;
}

}  // namespace

aLinkEntry* aLinkRegistry_LookupByID(uint32_t id) {
  if (id == 0) return nullptr;
  return sFind([id](const aLinkEntry& e) { return e.id == id; });
}

aLinkRecord* aLinkRegistry_GetLink(uint32_t id) {
  aLinkEntry* entry = aLinkRegistry_LookupByID(id);
  return entry != nullptr ? entry->link : nullptr;
}

aLinkEntry* aLinkRegistry_LookupByIdentifier(uint32_t identifier, uint32_t type) {
  return sFind([=](const aLinkEntry& e) { return e.identifier == identifier && e.type == type; });
}

uint32_t aLinkRegistry_Create(uint32_t identifier, uint32_t secondary, uint32_t tertiary, uint32_t type) {
  aLinkEntry* entry = new (std::nothrow) aLinkEntry{};
  aLinkRecord* link = new (std::nothrow) aLinkRecord{};
  if (entry == nullptr || link == nullptr) {
    delete entry;
    delete link;
    return 0;
  }
  entry->identifier = identifier;
  entry->secondary = secondary;
  entry->tertiary = tertiary;
  entry->type = type;
  entry->link = link;
  RegistryLock lock;
  if (!lock.ok()) {
    delete entry;
    delete link;
    return 0;
  }
  Registry& registry = _links();
  if (registry.nextId == 0) registry.nextId = 1;  // 0 means "no link"
  entry->id = registry.nextId++;
  entry->next = registry.head;
  registry.head = entry;
  aDebug_Printf(aDEBUG_LINK, " sCreate2: ident0: %u, ident1: %u, ident2: %u, type: %u, new id: %u\n", identifier,
                secondary, tertiary, type, entry->id);
  return entry->id;
}

int aLinkRegistry_ChangeUseCount(aLinkEntry* entry, int delta) {
  RegistryLock lock;
  entry->useCount = static_cast<int16_t>(entry->useCount + delta);
  aDebug_Printf(aDEBUG_LINK, " sChangeUseCount(%u, %+d) ==> %d\n", entry->id, delta, entry->useCount);
  return entry->useCount;
}

uint32_t aLink_Create(aStream* stream) {
  if (stream == nullptr) return 0;
  uint32_t id = aLinkRegistry_Create(kAnonymousIdentifier, 0, 0, 0);
  aDebug_Printf(aDEBUG_LINK, "\n sCreate(%08X)==>%u\n", kAnonymousIdentifier, id);
  if (id == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  // From here the record owns the stream, so destroying the link frees it.
  const bool ready = aLink_Init(id, stream) == id;
  aLinkRegistry_ChangeUseCount(aLinkRegistry_LookupByID(id), +1);
  if (!ready || aLink_Start(id) != aErrNone) {
    aLink_Destroy(&id);
    return 0;
  }
  return id;
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t ref) {
  aDebug_Printf(aDEBUG_LINK, "aLink_CreateClient - Address: %u, Port: %u, ref: %u)\n", address, port, ref);
  if (ref == 0) return 0;  // no network-sharing client stream in this build
  aLinkEntry* entry = aLinkRegistry_LookupByID(ref);
  if (entry == nullptr) {
    aDebug_Printf(aDEBUG_LINK, "The provided ref is invalid.\n");
    return 0;
  }
  aDebug_Printf(aDEBUG_LINK, "Using existing link - ConnectThroughLinkModule\n");
  aLinkRegistry_ChangeUseCount(entry, +1);
  return ref;
}

uint32_t aLink_CreateServer(uint32_t linkId, uint16_t* port, uint32_t* address, bool localOnly) {
  (void)linkId;
  (void)port;
  (void)address;
  (void)localOnly;
  aDebug_Printf(aDEBUG_LINK, "Failed to create server\n");
  return 0;
}

aErr aLink_Destroy(uint32_t* id) {
  if (id == nullptr) return aErrParam;
  const uint32_t linkId = *id;
  *id = 0;
  aDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%u)\n", linkId);
  aLinkEntry* entry = aLinkRegistry_LookupByID(linkId);
  if (entry == nullptr) return aErrParam;
  const int uses = aLinkRegistry_ChangeUseCount(entry, -1);
  if (uses > 0) {
    aDebug_Printf(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", uses);
    return aErrNone;
  }
  aDebug_Printf(aDEBUG_LINK, "aLink_Destroy(%u) destroy link item\n", linkId);
  aLink_InstallUserPacketFilter(linkId, nullptr, nullptr);
  entry = sExtractEntry(linkId);
  if (entry == nullptr) return aErrParam;
  aErr result = aErrUnknown;
  if (entry->link != nullptr) {
    aLink_Stop(entry->link);
    if (entry->parentLinkId != 0) {
      uint32_t parent = entry->parentLinkId;
      aLink_Destroy(&parent);
    }
    result = aLink_FreeRecord(&entry->link);
  }
  delete entry;
  return result;
}
