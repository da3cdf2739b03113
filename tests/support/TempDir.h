// Test helper: a fresh directory under $TMPDIR (or /tmp), removed with everything in it at the
// end of the scope.
#ifndef TESSALINE_TEST_TEMPDIR_H
#define TESSALINE_TEST_TEMPDIR_H

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

class TempDir {
public:
    TempDir()
    {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                              "/tessaline-test-XXXXXX";
        std::vector<char> text(pattern.begin(), pattern.end());
        text.push_back('\0');
        if (mkdtemp(text.data()) != nullptr)
            path_ = text.data();
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

#endif
