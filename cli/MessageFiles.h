#pragma once

#include <functional>
#include <string>
#include <vector>

// Finds the messages in what a user points the importer at: a Maildir (its cur/
// and new/ files), a directory of message files, an mbox file, or one message
// file. Each message arrives as the proxy would have recorded it.
class MessageFiles {
  public:
    // Returns false to stop reading.
    using MessageSink = std::function<bool(const std::string& text)>;

    // The files behind a path, in name order; throws CliError when it is neither
    // a file nor a directory.
    static std::vector<std::string> filesOf(const std::string& path);
    // Reads one file: an mbox (first line begins with "From ") yields each of its
    // messages, any other file one message. Empty messages are passed over.
    static void readMessages(const std::string& file, const MessageSink& sink);
    // Whether readMessages reads the file as an mbox.
    static bool isMbox(const std::string& file);
    // The first message of a file, as readMessages would give it.
    static std::string firstMessage(const std::string& file);
};
