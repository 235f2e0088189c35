#pragma once

#include <filesystem>
#include <string>
#include <vector>

// The public mail corpus: ham/ and spam/, one raw message per file. The test
// run finds it once (the corpus fixture) and hands it to every test that reads
// it in GLIMMERFEN_CORPUS. There is deliberately no second place to look: a run
// that lost the corpus must fail, not quietly test less.
std::filesystem::path corpusDirectory();

// The message files of ham/ or spam/ in file-name order. When GLIMMERFEN_CORPUS
// is unset or holds no such messages, the current test fails saying so and the
// list is empty.
std::vector<std::filesystem::path> corpusFiles(const std::string& kind);
