#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// glimmerfen-cli's commands over the rating engine: the filter table, rating,
// the phrase lists, the switches and the name server. Same conventions as the
// store commands.
namespace commands {

using Arguments = std::vector<std::string>;

void buildTable(const Arguments& args, std::ostream& out, std::ostream& messages);
void rate(const Arguments& args, std::ostream& out, std::ostream& messages);
void rateFolder(const Arguments& args, std::ostream& out, std::ostream& messages);
void tokens(const Arguments& args, std::ostream& out, std::ostream& messages);
void lists(const Arguments& args, std::ostream& out, std::ostream& messages);
void listAdd(const Arguments& args, std::ostream& out, std::ostream& messages);
void listDelete(const Arguments& args, std::ostream& out, std::ostream& messages);
void state(const Arguments& args, std::ostream& out, std::ostream& messages);
void nameServer(const Arguments& args, std::ostream& out, std::ostream& messages);
void nameServers(const Arguments& args, std::ostream& out, std::ostream& messages);
void dnsbl(const Arguments& args, std::ostream& out, std::ostream& messages);
void testNameServer(const Arguments& args, std::ostream& out, std::ostream& messages);

}  // namespace commands
