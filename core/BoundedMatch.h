#pragma once

#include <regex>
#include <string>

// std::regex matches by recursion, about one level per character: a text of
// a hundred thousand characters overflows the stack. Everything the tool
// matches (option values, file names) is short; a longer text is no match.
constexpr size_t kLongestMatched = 1024;

inline bool boundedMatch(const std::string& text, const std::regex& pattern) {
    return text.size() <= kLongestMatched && std::regex_match(text, pattern);
}

inline bool boundedMatch(const std::string& text, std::smatch& match, const std::regex& pattern) {
    return text.size() <= kLongestMatched && std::regex_match(text, match, pattern);
}
