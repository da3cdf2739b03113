#include "KeyValueStore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "AtomicFile.h"
#include "Log.h"

namespace {

constexpr unsigned kLogTopic = DEBUG_Attributes;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

}  // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

std::string KeyValueStore::TimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    if (std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local) == 0) return {};
    return text;
}

bool KeyValueStore::ParseLine(const char* line, std::string& key, std::string& value) {
    const size_t n = std::strlen(line);
    if (n < 3 || line[0] == '#') return false;
    const char* eq = std::strchr(line, '=');
    if (!eq) return false;

    const char* k = line;
    while (k < eq && isBlank(*k)) ++k;
    const char* kEnd = eq;
    while (kEnd > k && isBlank(kEnd[-1])) --kEnd;
    if (kEnd == k) return false;  // no key before the "="

    const char* v = eq + 1;
    const char* end = line + n;
    while (v < end && isBlank(*v)) ++v;
    const char* vEnd = end;
    while (vEnd > v && isBlank(vEnd[-1])) --vEnd;

    key.assign(k, kEnd);
    value.assign(v, vEnd);
    return true;
}

void KeyValueStore::Load(const char* path) {
    if (!path) return;
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "r"));
    if (!f) {
        Log::log(kLogTopic, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path, errno);
        set(KEY_CREATED_TIME, TimeStamp());
        Save(path);
    }
    fileName = path;
    dirty = false;
    if (!f) return;

    char line[MAX_LINE];
    std::string key, value;
    while (std::fgets(line, sizeof line, f.get())) {
        size_t n = std::strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            Log::log(kLogTopic, "Attibutes: line too long in '%s', rest ignored\n", path);
            break;
        }
        if (ParseLine(line, key, value)) entries[key] = value;
    }
}

void KeyValueStore::Save(const char* path) {
    if (path) {
        fileName = path;
    } else if (fileName.empty()) {
        fileName = DEFAULT_FILENAME;
        Log::log(kLogTopic, "Attibutes: no filename given for attributes, using default:[%s]\n", fileName.c_str());
    }
    if (dirty) entries[KEY_UPDATED_TIME] = TimeStamp();

    std::string text;
    for (const auto& [k, v] : entries) {
        text += k;
        text += '=';
        text += v;
        text += '\n';
    }
    int error = 0;
    if (AtomicFile::Replace(fileName, text.data(), text.size(), &error) != AtomicFile::Result::Ok) {
        Log::log(kLogTopic, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 fileName.c_str(), error);
        return;
    }
    dirty = false;
}

const char* KeyValueStore::operator[](const char* key) const {
    if (!key) return nullptr;
    auto it = entries.find(key);
    return it == entries.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* def) const {
    const char* v = (*this)[key];
    if (v) return v;
    return def ? def : "";
}

const std::string& KeyValueStore::valueForNumber(const char* key) {
    static const std::string kEmpty;
    return key ? entries[key] : kEmpty;
}

int KeyValueStore::GetInt(const char* key, int def) {
    const std::string& v = valueForNumber(key);
    return v.empty() ? def : std::atoi(v.c_str());
}

unsigned KeyValueStore::GetHex(const char* key, unsigned def) {
    const std::string& v = valueForNumber(key);
    return v.empty() ? def : unsigned(std::strtoull(v.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const char* key, bool def) {
    const std::string& v = valueForNumber(key);
    return v.empty() ? def : std::atoi(v.c_str()) != 0;
}

double KeyValueStore::GetDouble(const char* key, double def) {
    const std::string& v = valueForNumber(key);
    return v.empty() ? def : std::atof(v.c_str());
}

void KeyValueStore::set(const char* key, const std::string& value) {
    if (!key) return;
    std::string& slot = entries[key];
    if (slot != value) {
        slot = value;
        dirty = true;
    }
}

bool KeyValueStore::Add(const char* key, int value) {
    set(key, std::to_string(value));
    return true;
}

bool KeyValueStore::Add(const char* key, double value) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", value);
    set(key, text);
    return true;
}

bool KeyValueStore::Add(const char* key, const char* value) {
    set(key, value ? value : "");
    return true;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    set(key, value);
    return true;
}

bool KeyValueStore::AddHex(const char* key, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    set(key, text);
    return true;
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (&other == this) return true;
    for (const auto& [k, v] : other.entries) entries[k] = v;
    if (!other.entries.empty()) dirty = true;
    return true;
}

bool KeyValueStore::Clear() {
    entries.clear();
    dirty = true;
    return true;
}
