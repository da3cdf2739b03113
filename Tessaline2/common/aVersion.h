// Packed firmware version numbers and the library's own version and features.
//
// A packed version is a 32-bit word in one of two layouts:
//   legacy  : major (bits 31..28), minor (27..24), patch (23..0)
//   current : 0x2F marker (bits 31..24), major (23..16), minor (15..8), patch (7..0)
// Words whose (top nibble, next nibble) is below (2, 15) are legacy; all others current.
#ifndef TESSALINE_AVERSION_H
#define TESSALINE_AVERSION_H

#include <cstddef>
#include <cstdint>

#define aVERSION_MAJOR 2
#define aVERSION_MINOR 12
#define aVERSION_PATCH 0
#define aVERSION_PHASE "."

// Number of entries in the feature table.
#define NUM_FEATS 1

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
// Up to 24 bits for legacy words, 8 bits for current ones.
uint32_t aVersion_ParsePatch(uint32_t packed);
// Writes "major.minor.patch" into buffer, truncated like snprintf (nothing written when size is 0).
void aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// True when (major, minor, patch) >= (refMajor, refMinor, refPatch), compared lexicographically.
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch,
                               uint8_t refMajor, uint8_t refMinor, uint8_t refPatch);
// True when this library's version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// "2.12.0"; a static text that lives as long as the process. Safe to call from any thread.
const char* aVersion_GetString();

// Exact, case-sensitive match against the feature names.
bool aVersion_HasFeature(const char* name);
// "NAME - Description" per feature, separated by newlines; release with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);

#endif
