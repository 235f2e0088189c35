#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

// The public mail corpus named by GLIMMERFEN_CORPUS (`make bench` sets it from
// scripts/corpus-dir.sh); empty when it is not set.
std::filesystem::path corpusDir();

struct CorpusMessage {
    std::string name;  // "ham/00001.7c53....txt"
    std::string text;  // the file's bytes, LF line ends as the corpus keeps them
};

// Every message of one class ("ham" or "spam"), in file-name order so every
// run measures the same bytes; empty when the folder is missing or unreadable.
std::vector<CorpusMessage> corpusMessages(std::string_view kind);

// A whole file's bytes; empty when it cannot be read.
std::string fileBytes(const std::filesystem::path& file);

// The corpus is stored with LF line ends; a POP3 server sends CR LF.
std::string withCrLf(std::string_view lf);

}  // namespace bench
