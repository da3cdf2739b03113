#include "OptionScanner.h"

#include <algorithm>
#include <cstring>

namespace {

size_t leadingHyphens(const char* text, size_t length)
{
    size_t n = 0;
    while (n < length && text[n] == '-')
        ++n;
    return n;
}

} // namespace

OptionScanner::OptionScanner(int argc, char** argv, std::span<const OptionSpec> table)
    : argc(argc > 0 ? argc : 0), argv(argv), table(table)
{
}

const OptionSpec* OptionScanner::match(const char* word, size_t length, bool& ambiguous) const
{
    ambiguous = false;
    for (const OptionSpec& spec : table) {
        if (strlen(spec.word) == length && strncmp(spec.word, word, length) == 0)
            return &spec;
    }
    // A proper prefix selects a multi-letter entry with the same hyphens, if
    // only one such entry starts with it. One-letter entries match exactly only,
    // and a bare run of hyphens names nothing.
    size_t hyphens = leadingHyphens(word, length);
    if (hyphens == length)
        return nullptr;
    const OptionSpec* found = nullptr;
    for (const OptionSpec& spec : table) {
        size_t specLength = strlen(spec.word);
        size_t specHyphens = leadingHyphens(spec.word, specLength);
        if (specHyphens != hyphens || specLength - specHyphens < 2 || specLength <= length)
            continue;
        if (strncmp(spec.word, word, length) != 0)
            continue;
        if (found != nullptr) {
            ambiguous = true;
            return nullptr;
        }
        found = &spec;
    }
    return found;
}

void OptionScanner::moveBehind(int start, int count)
{
    std::rotate(argv + firstNonOption, argv + start, argv + start + count);
    firstNonOption += count;
    position = start + count;
}

OptionScanner::Result OptionScanner::next()
{
    while (position < argc && (argv[position] == nullptr || argv[position][0] != '-'))
        ++position;
    Result result;
    if (position >= argc)
        return result;

    int start = position;
    const char* argument = argv[start];
    result.argument = argument;
    const char* equals = strchr(argument, '=');
    size_t wordLength = equals != nullptr ? static_cast<size_t>(equals - argument) : strlen(argument);
    bool ambiguous = false;
    const OptionSpec* spec = match(argument, wordLength, ambiguous);

    int consumed = 1;
    result.status = Status::Error;
    if (spec != nullptr) {
        result.id = spec->id;
        if (!spec->takesValue) {
            if (equals == nullptr)
                result.status = Status::Option;
        } else if (equals != nullptr) {
            result.value = equals + 1;
            result.status = Status::Option;
        } else if (start + 1 < argc && argv[start + 1] != nullptr && argv[start + 1][0] != '-') {
            result.value = argv[start + 1];
            result.status = Status::Option;
            consumed = 2;
        }
    }
    moveBehind(start, consumed);
    return result;
}
