#include "diag/Error.h"

#include "diag/LogFile.h"

namespace {

std::string socketEntry(const std::string& message, const std::string& operation,
                        const std::string& label, int code, const std::string& codeText, int line,
                        const std::string& file) {
    return "Error: " + message + " in " + operation + "\n " + label + std::to_string(code) +
           " -- " + codeText + "\n line " + std::to_string(line) + " of file " + file;
}

diag::Stamp appendToErrorLog(const std::string& entry) {
    const diag::Stamp stamp = diag::stampNow();
    diag::appendLogEntry(diag::kErrorLogFile, entry, stamp, diag::kErrorLogLimitBytes);
    return stamp;
}

}  // namespace

CError::CError(const std::string& message, const std::string& operation, int line,
               const std::string& file)
    : m_message(diag::formatPlainEntry(message, operation, line, file)) {
    record();
}

CError::CError(const std::string& message, const std::string& operation, const std::string& label,
               int code, const std::string& codeText, int line, const std::string& file)
    : m_message(socketEntry(message, operation, label, code, codeText, line, file)) {
    record();
}

void CError::record() {
    const diag::Stamp stamp = appendToErrorLog(m_message);
    m_date = stamp.date;
    m_time = stamp.time;
}

namespace diag {

void recordError(const std::string& message, const std::string& operation, int line,
                 const std::string& file) {
    appendToErrorLog(formatPlainEntry(message, operation, line, file));
}

void recordError(const std::string& message, const std::string& operation, const std::string& label,
                 int code, const std::string& codeText, int line, const std::string& file) {
    appendToErrorLog(socketEntry(message, operation, label, code, codeText, line, file));
}

}  // namespace diag
