#pragma once

#include <exception>
#include <string>

// The one error record of the system. Building one appends an entry to
// "ErrorLog.txt", so every failure is on record even when no handler shows it;
// copying one writes nothing.
class CError : public std::exception {
  public:
    // Plain form: "Error: <message> in <operation>\n line <line> of file <file>".
    CError(const std::string& message, const std::string& operation, int line,
           const std::string& file);
    // Socket form: adds "\n <label><code> -- <codeText>" before the line.
    CError(const std::string& message, const std::string& operation, const std::string& label,
           int code, const std::string& codeText, int line, const std::string& file);

    const char* what() const noexcept override { return m_message.c_str(); }

    std::string m_message;
    std::string m_time;
    std::string m_date;

  private:
    void record();
};

namespace diag {

// Puts on record the entry a CError of the same arguments would, for a failure
// that is handled where it is met and thrown to no one.
void recordError(const std::string& message, const std::string& operation, int line,
                 const std::string& file);
void recordError(const std::string& message, const std::string& operation, const std::string& label,
                 int code, const std::string& codeText, int line, const std::string& file);

}  // namespace diag
