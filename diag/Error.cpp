#include "diag/Error.h"

#include "diag/LogFile.h"

CError::CError(const std::string& message, const std::string& operation, int line,
               const std::string& file)
    : m_message(diag::formatPlainEntry(message, operation, line, file)) {
    record();
}

CError::CError(const std::string& message, const std::string& operation, const std::string& label,
               int code, const std::string& codeText, int line, const std::string& file)
    : m_message("Error: " + message + " in " + operation + "\n " + label + std::to_string(code) +
                " -- " + codeText + "\n line " + std::to_string(line) + " of file " + file) {
    record();
}

void CError::record() {
    const diag::Stamp stamp = diag::stampNow();
    m_date = stamp.date;
    m_time = stamp.time;
    diag::appendLogEntry(diag::kErrorLogFile, m_message, stamp, diag::kErrorLogLimitBytes);
}
