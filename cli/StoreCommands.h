#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// glimmerfen-cli's commands. Each takes its arguments (after the command name),
// writes its output to `out` and its warnings to `messages`, and throws CliError
// (or CError from the store) when it cannot do what was asked.
namespace commands {

using Arguments = std::vector<std::string>;

void init(const Arguments& args, std::ostream& out, std::ostream& messages);
void importMessages(const Arguments& args, std::ostream& out, std::ostream& messages);
void list(const Arguments& args, std::ostream& out, std::ostream& messages);
void show(const Arguments& args, std::ostream& out, std::ostream& messages);
void count(const Arguments& args, std::ostream& out, std::ostream& messages);
void move(const Arguments& args, std::ostream& out, std::ostream& messages);
void deleteTrash(const Arguments& args, std::ostream& out, std::ostream& messages);
void clean(const Arguments& args, std::ostream& out, std::ostream& messages);
void trim(const Arguments& args, std::ostream& out, std::ostream& messages);
void backup(const Arguments& args, std::ostream& out, std::ostream& messages);
void parse(const Arguments& args, std::ostream& out, std::ostream& messages);

}  // namespace commands
