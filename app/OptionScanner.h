// Scanner of command-line options: one-hyphen words (and "--" words), values
// attached with "=" or taken from the next argument, unique prefixes of
// multi-letter words, non-option arguments moved behind the options.
#pragma once

#include <cstddef>
#include <span>

struct OptionSpec {
    const char* word; // with its leading hyphens, e.g. "-d" or "--help"
    int id;
    bool takesValue;
};

class OptionScanner {
public:
    enum class Status {
        Option, // a table entry matched; `id` and (for value options) `value` are set
        Error,  // unknown/ambiguous word, missing value, or value on a no-value option
        End,    // no arguments left
    };
    struct Result {
        Status status = Status::End;
        int id = 0;
        const char* argument = nullptr; // the argument as typed
        const char* value = nullptr;    // value text for value options
    };

    // argv[0] is the program name and is never examined. argv's pointers are
    // reordered in place; the strings themselves are not modified.
    OptionScanner(int argc, char** argv, std::span<const OptionSpec> table);

    Result next();

private:
    const OptionSpec* match(const char* word, size_t length, bool& ambiguous) const;
    // Moves the non-options skipped so far behind the `count` arguments
    // starting at `position`.
    void moveBehind(int position, int count);

    int argc;
    char** argv;
    std::span<const OptionSpec> table;
    int position = 1;      // next argument to examine
    int firstNonOption = 1; // start of the skipped non-options, ending at `position`
};
