// Named text values mirrored in a small "key=value" attribute file.
#pragma once

#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
    static constexpr size_t MAX_LINE = 2048;

    explicit KeyValueStore(const char* path = nullptr);

    void Load(const char* path);
    void Save(const char* path = nullptr);

    // Null when the key is absent; never adds an entry.
    const char* operator[](const char* key) const;
    std::string GetString(const char* key, const char* def = nullptr) const;

    // These create an absent key with an empty value (not marking the store dirty).
    int GetInt(const char* key, int def);
    unsigned GetHex(const char* key, unsigned def);
    bool GetBOOL(const char* key, bool def);
    double GetDouble(const char* key, double def);

    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool AddHex(const char* key, unsigned value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    bool IsDirty() const { return dirty; }
    const std::string& FileName() const { return fileName; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // Local calendar time in ctime form without the newline.
    static std::string TimeStamp();

    // Applies the attribute-file line rules to one line; false when skipped.
    static bool ParseLine(const char* line, std::string& key, std::string& value);

private:
    void set(const char* key, const std::string& value);
    const std::string& valueForNumber(const char* key);

    std::string fileName;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};
