#include "proxy/PopCommand.h"

namespace proxy {

namespace {

// The blanks that separate words, as a scanf "%s" sees them.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string nextWord(std::string_view text, std::size_t& at) {
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    std::string word;
    while (at < text.size() && !isBlank(text[at])) {
        word += upper(text[at]);
        ++at;
    }
    return word;
}

}  // namespace

CommandWords commandWords(std::string_view command) {
    std::size_t at = 0;
    CommandWords words;
    words.word = nextWord(command, at);
    words.argument = nextWord(command, at);
    return words;
}

CommandClass classifyCommand(std::string_view command) {
    const CommandWords words = commandWords(command);
    CommandClass result;
    const std::string& word = words.word;
    const bool noArgument = words.argument.empty();
    if (word.empty()) {
        result.empty = true;
    } else if (word == "RETR") {
        result.multiLine = true;
        result.retrieval = true;
    } else if (word == "TOP") {
        result.multiLine = true;
    } else if ((word == "UIDL" || word == "LIST") && noArgument) {
        result.multiLine = true;
    } else if (word == "QUIT") {
        result.quit = true;
    } else if (word == "CAPA") {
        result.multiLine = true;
        result.capabilities = true;
    } else if (word == "AUTH" && noArgument) {
        // Without a mechanism the server lists the mechanisms it offers.
        result.multiLine = true;
    } else if (word == "STLS") {
        result.startTls = true;
    }
    return result;
}

}  // namespace proxy
