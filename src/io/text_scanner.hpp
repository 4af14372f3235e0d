// Strict reading of the two text inputs.
//
// The model file is a sequence of decimal numbers, each followed immediately by
// a comma, with free white space between items, plus whitespace-delimited
// words (component labels). The data file is whitespace-delimited words and
// numbers. A well-formed file reads exactly as the C library's "%d,", "%f,",
// "%s " and "%d ", "%f " conversions would read it; anything else (a missing
// comma, a token that is not entirely a number, an int that overflows, a
// non-finite value, a word longer than its slot, the end of the file) stops the
// run with a message that names the file, the line and the item.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace minque {

class TextScanner {
public:
    TextScanner(std::string text, std::string fileName);

    // Reads the whole stream (which stays open).
    static TextScanner fromStream(std::FILE* in, const std::string& fileName);

    // A number followed at once by a comma ("%d," / "%f,"). `what` is a printf
    // format describing the item, used only in messages.
    int intItem(const char* what, ...) __attribute__((format(printf, 2, 3)));
    float floatItem(const char* what, ...) __attribute__((format(printf, 2, 3)));

    // Whitespace-delimited tokens ("%s ", "%d ", "%f ").
    std::string_view word(std::size_t maxLength, const char* what, ...) __attribute__((format(printf, 3, 4)));
    int intToken(const char* what, ...) __attribute__((format(printf, 2, 3)));
    float floatToken(const char* what, ...) __attribute__((format(printf, 2, 3)));

    // True when only white space is left.
    bool atEnd();
    std::size_t remainingBytes() const { return text_.size() - pos_; }

    // Stops the run: "<file>: line <n>: <message>", the line being that of the
    // last token read (or of the current position).
    [[noreturn]] void fail(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    const std::string& fileName() const { return fileName_; }

private:
    void skipSpace();
    // The next token: up to white space, or also up to a comma when
    // `stopAtComma`. Stops the run at the end of the file.
    std::string_view token(bool stopAtComma, const std::string& what);
    void expectComma(std::string_view tok, const std::string& what);
    int parseInt(std::string_view tok, const std::string& what) const;
    float parseFloat(std::string_view tok, const std::string& what) const;

    std::string text_;
    std::string fileName_;
    std::size_t pos_ = 0;
    int line_ = 1;
    int tokenLine_ = 1;
};

}  // namespace minque
