#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

const Feature FEATS[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

const char* const kFeatureSeparator = " - ";

char version_string[15];
std::once_flag version_inited;

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch)
{
    if (major > 2 || (major == 2 && minor > 14))
        return 0x2F000000u | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
    return (uint32_t{major} << 28) | ((uint32_t{minor} << 24) & 0x0F000000u) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed)
{
    const uint8_t high = static_cast<uint8_t>(packed >> 28);
    const uint8_t second = static_cast<uint8_t>((packed >> 24) & 0x0F);
    return aVersion_IsAtLeastCompare(2, 15, 0, high, second, 255);
}

uint8_t aVersion_ParseMajor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>(packed >> 28)
                                           : static_cast<uint8_t>(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>((packed >> 24) & 0x0F)
                                           : static_cast<uint8_t>(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed)
{
    return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFFu) : (packed & 0xFFu);
}

void aVersion_ParseString(uint32_t packed, char* buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return;
    snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(packed), aVersion_ParseMinor(packed),
             static_cast<int>(aVersion_ParsePatch(packed)));
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t refMajor, uint8_t refMinor, uint8_t refPatch)
{
    if (major != refMajor)
        return major > refMajor;
    if (minor != refMinor)
        return minor > refMinor;
    return patch >= refPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch)
{
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

uint8_t aVersion_GetMajor() { return aVERSION_MAJOR; }
uint8_t aVersion_GetMinor() { return aVERSION_MINOR; }
uint8_t aVersion_GetPatch() { return aVERSION_PATCH; }

const char* aVersion_GetString()
{
    // Built once; the once flag makes a racing first call safe.
    std::call_once(version_inited, [] {
        memset(version_string, 0, sizeof version_string);
        snprintf(version_string, sizeof version_string, "%d.%d%s%d", aVERSION_MAJOR,
                 aVERSION_MINOR, aVERSION_PHASE, aVERSION_PATCH);
    });
    return version_string;
}

bool aVersion_HasFeature(const char* name)
{
    if (name == nullptr)
        return false;
    for (const Feature& feature : FEATS) {
        if (strcmp(feature.name, name) == 0)
            return true;
    }
    return false;
}

char* aVersion_GetFeatureList()
{
    size_t total = 1;
    for (const Feature& feature : FEATS)
        total += strlen(feature.name) + strlen(kFeatureSeparator) + strlen(feature.description) + 1;
    char* list = static_cast<char*>(calloc(total, 1));
    if (list == nullptr)
        return nullptr;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i > 0)
            strcat(list, "\n");
        strcat(list, FEATS[i].name);
        strcat(list, kFeatureSeparator);
        strcat(list, FEATS[i].description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list)
{
    if (list == nullptr)
        return;
    free(*list);
    *list = nullptr;
}
