#include "cli/StoreCommands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "analysis/HeaderParser.h"
#include "analysis/StoredHeader.h"
#include "cli/CliError.h"
#include "cli/CliStore.h"
#include "cli/MessageFiles.h"
#include "cli/ParseJson.h"
#include "platform/Clock.h"
#include "store/Backup.h"
#include "store/Folder.h"
#include "store/StoreLayout.h"

namespace commands {

namespace {

void expectCount(const Arguments& args, std::size_t least, std::size_t most, const char* usage) {
    if (args.size() < least || args.size() > most) {
        throw UsageError(std::string("usage: glimmerfen-cli ") + usage);
    }
}

// A folder named on the command line, by its key.
std::string folderArgument(const std::string& key) {
    if (!folderFromKey(key)) {
        throw UsageError("unknown folder '" + key + "' (folders: " + folderKeyList() + ")");
    }
    return key;
}

int indexNumber(const std::string& text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        throw UsageError("not an email index number: '" + text + "'");
    }
    return value;
}

std::vector<int> indexNumbers(const Arguments& args, std::size_t first) {
    std::vector<int> indexes;
    for (std::size_t i = first; i < args.size(); ++i) {
        indexes.push_back(indexNumber(args[i]));
    }
    return indexes;
}

// Every number must name an email of the folder: a typo must not pass for done.
void requirePresent(CDatabase& database, const std::string& key, const std::vector<int>& indexes) {
    const std::vector<int> present = database.emailIndexes(key);
    for (const int index : indexes) {
        if (!std::binary_search(present.begin(), present.end(), index)) {
            throw CliError("no email " + std::to_string(index) + " in " + key);
        }
    }
}

// Mail bytes made harmless for a terminal: a control character in a Subject
// could otherwise retitle, clear or reprogram the user's terminal. C0 controls
// (but those in `kept`) and DEL are written as \xNN, and so are C1 controls in
// their UTF-8 form, which some terminals obey as well; all else passes.
std::string terminalSafe(std::string_view bytes, std::string_view kept) {
    std::string shown;
    shown.reserve(bytes.size());
    const auto escape = [&](unsigned char byte) {
        char code[5];
        std::snprintf(code, sizeof code, "\\x%02x", byte);
        shown += code;
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        const bool c1Control = byte == 0xC2 && i + 1 < bytes.size() &&
                               (static_cast<unsigned char>(bytes[i + 1]) & 0xE0) == 0x80;
        if ((byte < 0x20 || byte == 0x7F) && kept.find(static_cast<char>(byte)) == kept.npos) {
            escape(byte);
        } else if (c1Control) {
            escape(byte);
            escape(static_cast<unsigned char>(bytes[++i]));
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shown;
}

// Stores one message text as the proxy would have recorded it arriving.
int storeMessage(CDatabase& database, std::string_view folder, const std::string& text) {
    CHeaderParser parser;
    parser.parse(text);
    const int index = database.getNextEmailIndex();
    const EmailHeader header =
        storedHeader(parser.getHeaderRecord(), static_cast<std::int32_t>(text.size()),
                     static_cast<std::int32_t>(platform::secondsSince1970()));
    database.setEmailHeader(index, folder, header, text);
    return index;
}

}  // namespace

void init(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 0, 0, "init");
    // The installation's backup directory, which the desktop program expects.
    if (::mkdir(kBackupDirectory, 0755) != 0 && errno != EEXIST) {
        throw CliError(std::string("cannot create the backup directory: ") + std::strerror(errno));
    }
    CliStore store(CliStore::Access::Write, CliStore::Missing::Create, messages);
    store.database().getHarrowgleamState();  // proves the file can be read
}

void importMessages(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 2, SIZE_MAX, "import FOLDER PATH...");
    const std::string key = folderArgument(args[0]);
    std::vector<std::string> files;
    for (std::size_t i = 1; i < args.size(); ++i) {
        for (std::string& file : MessageFiles::filesOf(args[i])) {
            files.push_back(std::move(file));
        }
    }
    CliStore store(CliStore::Access::Write, CliStore::Missing::Create, messages);
    CDatabase& database = store.database();
    int stored = 0;
    for (const std::string& file : files) {
        MessageFiles::readMessages(file, [&](const std::string& text) {
            if (database.emailCount(key) >= store_layout::kSlotsPerFolder) {
                throw CliError("folder " + key + " is full (" +
                               std::to_string(store_layout::kSlotsPerFolder) +
                               " emails); import stopped after " + std::to_string(stored) +
                               " messages, at " + file);
            }
            out << storeMessage(database, key, text) << '\n';
            ++stored;
            return true;
        });
    }
}

void list(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 1, 1, "list FOLDER");
    const std::string key = folderArgument(args[0]);
    const bool toTerminal = ::isatty(STDOUT_FILENO) == 1;
    const auto shown = [&](const std::string& field) {
        return toTerminal ? terminalSafe(field, "") : field;
    };
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    store.database().readEmailHeaders(key, [&](const HeaderRow& row) {
        out << row.index << '\t' << row.dateTime << '\t' << shown(row.from) << '\t'
            << shown(row.subject) << '\n';
    });
}

void show(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 2, 2, "show FOLDER INDEX");
    const std::string key = folderArgument(args[0]);
    const int index = indexNumber(args[1]);
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    EmailHeader header;
    std::string text;
    if (!store.database().getEmailHeader(index, key, header, text)) {
        throw CliError("no email " + args[1] + " in " + key);
    }
    // Piped or redirected, the stored bytes go out as they are.
    if (::isatty(STDOUT_FILENO) == 1) {
        text = terminalSafe(text, "\r\n\t");
    }
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void count(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 0, 1, "count [FOLDER]");
    if (args.size() == 1) {
        const std::string key = folderArgument(args[0]);
        CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
        out << store.database().emailCount(key) << '\n';
        return;
    }
    CliStore store(CliStore::Access::Read, CliStore::Missing::Refuse, messages);
    for (const Folder folder : kAllFolders) {
        out << folderKey(folder) << '\t' << store.database().emailCount(folderKey(folder)) << '\n';
    }
}

void move(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 3, SIZE_MAX, "move FROM TO INDEX...");
    const std::string from = folderArgument(args[0]);
    const std::string to = folderArgument(args[1]);
    if (from == to) {
        throw UsageError("FROM and TO are the same folder");
    }
    const std::vector<int> indexes = indexNumbers(args, 2);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    CDatabase& database = store.database();
    requirePresent(database, from, indexes);
    const int room = store_layout::kSlotsPerFolder - database.emailCount(to);
    if (static_cast<int>(indexes.size()) > room) {
        throw CliError("folder " + to + " has room for " + std::to_string(room) +
                       " more emails; nothing was moved");
    }
    database.moveEmails(from, to, indexes);
}

void deleteTrash(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 1, SIZE_MAX, "delete-trash INDEX...");
    const std::vector<int> indexes = indexNumbers(args, 0);
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    requirePresent(store.database(), std::string(folderKey(Folder::Trash)), indexes);
    store.database().deleteTrashEmails(indexes);
}

void clean(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 0, 0, "clean");
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    store.database().cleanAllFolders();
}

void trim(const Arguments& args, std::ostream&, std::ostream& messages) {
    expectCount(args, 0, 0, "trim");
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    store.database().trimFolderToTrash(folderKey(Folder::New));
    store.database().trimTrash();
}

void backup(const Arguments& args, std::ostream& out, std::ostream& messages) {
    expectCount(args, 0, 0, "backup");
    CliStore store(CliStore::Access::Write, CliStore::Missing::Refuse, messages);
    if (!backupStore(store.database())) {
        throw CliError("the backup could not be written to \"" + backupFileName(1) + "\"");
    }
    out << "Database has been backed up to \"" << backupFileName(1) << "\"\n";
}

void parse(const Arguments& args, std::ostream& out, std::ostream&) {
    expectCount(args, 1, 1, "parse FILE");
    out << parseToJson(MessageFiles::firstMessage(args[0])).dump() << '\n';
}

}  // namespace commands
