// Splitting a free-form command text into the words sent to the store.
#ifndef TOVZELT_COMMAND_WORDS_H
#define TOVZELT_COMMAND_WORDS_H

#include <string>
#include <vector>

namespace Tovana::TovZelt {

// One or more spaces separate words; nothing else does (a tab is part of a word). Leading and
// trailing spaces give no empty word. Every other character, '%' included, is kept as it is.
inline std::vector<std::string> split_command_words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (char c : text) {
        if (c == ' ') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word.push_back(c);
            in_word = true;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

}  // namespace Tovana::TovZelt

#endif  // TOVZELT_COMMAND_WORDS_H
