#include "io/text_scanner.hpp"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string vformat(const char* format, std::va_list args) {
    char buffer[512];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

// Shows a token in a message, shortened if very long.
std::string quoted(std::string_view tok) {
    std::string s(tok.substr(0, 40));
    if (tok.size() > 40) s += "...";
    return "'" + s + "'";
}

}  // namespace

TextScanner::TextScanner(std::string text, std::string fileName)
    : text_(std::move(text)), fileName_(std::move(fileName)) {}

TextScanner TextScanner::fromStream(std::FILE* in, const std::string& fileName) {
    std::string text;
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
    if (std::ferror(in)) stopRun("%s: the file could not be read", fileName.c_str());
    return TextScanner(std::move(text), fileName);
}

void TextScanner::fail(const char* format, ...) const {
    std::va_list args;
    va_start(args, format);
    const std::string message = vformat(format, args);
    va_end(args);
    stopRun("%s: line %d: %s", fileName_.c_str(), tokenLine_, message.c_str());
}

void TextScanner::skipSpace() {
    while (pos_ < text_.size() && isSpace(text_[pos_])) {
        if (text_[pos_] == '\n') ++line_;
        ++pos_;
    }
}

bool TextScanner::atEnd() {
    skipSpace();
    tokenLine_ = line_;
    return pos_ >= text_.size();
}

std::string_view TextScanner::token(bool stopAtComma, const std::string& what) {
    skipSpace();
    tokenLine_ = line_;
    if (pos_ >= text_.size()) fail("the file ends where %s was expected", what.c_str());
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && !isSpace(text_[pos_]) && !(stopAtComma && text_[pos_] == ',')) ++pos_;
    return std::string_view(text_).substr(begin, pos_ - begin);
}

void TextScanner::expectComma(std::string_view tok, const std::string& what) {
    if (tok.empty()) fail("%s: a comma stands where a number was expected", what.c_str());
    if (pos_ >= text_.size() || text_[pos_] != ',')
        fail("%s: expected a comma right after %s", what.c_str(), quoted(tok).c_str());
    ++pos_;
}

int TextScanner::parseInt(std::string_view tok, const std::string& what) const {
    std::size_t i = 0;
    if (i < tok.size() && (tok[i] == '+' || tok[i] == '-')) ++i;
    if (i == tok.size()) fail("%s: expected an integer, found %s", what.c_str(), quoted(tok).c_str());
    long long value = 0;
    for (std::size_t j = i; j < tok.size(); ++j) {
        if (tok[j] < '0' || tok[j] > '9')
            fail("%s: expected an integer, found %s", what.c_str(), quoted(tok).c_str());
        value = value * 10 + (tok[j] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            fail("%s: the number %s is too large", what.c_str(), quoted(tok).c_str());
    }
    if (tok[0] == '-') value = -value;
    if (value > INT_MAX) fail("%s: the number %s is too large", what.c_str(), quoted(tok).c_str());
    return static_cast<int>(value);
}

float TextScanner::parseFloat(std::string_view tok, const std::string& what) const {
    const std::string copy(tok);
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(copy.c_str(), &end);
    if (copy.empty() || end != copy.c_str() + copy.size())
        fail("%s: expected a number, found %s", what.c_str(), quoted(tok).c_str());
    if (!std::isfinite(value))
        fail("%s: %s is not a finite number", what.c_str(), quoted(tok).c_str());
    return value;
}

#define MINQUE_WHAT(what)                  \
    std::va_list args;                     \
    va_start(args, what);                  \
    const std::string desc = vformat(what, args); \
    va_end(args)

int TextScanner::intItem(const char* what, ...) {
    MINQUE_WHAT(what);
    const std::string_view tok = token(true, desc);
    expectComma(tok, desc);
    return parseInt(tok, desc);
}

float TextScanner::floatItem(const char* what, ...) {
    MINQUE_WHAT(what);
    const std::string_view tok = token(true, desc);
    expectComma(tok, desc);
    return parseFloat(tok, desc);
}

std::string_view TextScanner::word(std::size_t maxLength, const char* what, ...) {
    MINQUE_WHAT(what);
    const std::string_view tok = token(false, desc);
    if (tok.size() > maxLength)
        fail("%s: %s is longer than %zu characters", desc.c_str(), quoted(tok).c_str(), maxLength);
    return tok;
}

int TextScanner::intToken(const char* what, ...) {
    MINQUE_WHAT(what);
    return parseInt(token(false, desc), desc);
}

float TextScanner::floatToken(const char* what, ...) {
    MINQUE_WHAT(what);
    return parseFloat(token(false, desc), desc);
}

#undef MINQUE_WHAT

}  // namespace minque
