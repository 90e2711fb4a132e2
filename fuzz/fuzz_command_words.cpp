// Fuzz target: the splitter of free-form command texts (split_command_words).
//
// Properties checked on every input:
// - no word is empty and no word holds a space;
// - the words, end to end, are exactly the input without its spaces;
// - there is one word per run of characters other than space;
// - joining the words with one space and splitting again gives the same words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_words.h"

namespace {
void check(bool condition) {
    if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> words = Tovana::TovZelt::split_command_words(text);

    std::string without_spaces;
    size_t runs = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') continue;
        without_spaces.push_back(text[i]);
        if (i == 0 || text[i - 1] == ' ') ++runs;
    }

    std::string concatenated;
    std::string joined;
    for (const std::string& word : words) {
        check(!word.empty());
        check(word.find(' ') == std::string::npos);
        concatenated += word;
        if (!joined.empty()) joined.push_back(' ');
        joined += word;
    }
    check(concatenated == without_spaces);
    check(words.size() == runs);
    check(Tovana::TovZelt::split_command_words(joined) == words);
    return 0;
}
