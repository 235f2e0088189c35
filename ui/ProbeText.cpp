#include "ui/ProbeText.h"

#include <string>

#include <QStringList>

#include "platform/HostLookup.h"

namespace probetext {

namespace {

QString text(const std::string& bytes) {
    return QString::fromStdString(bytes);
}

// What the person needs to judge the certificate: all of it, whether or not
// it verified, since a verified one may still be the wrong server's.
QStringList certificateLines(const platform::CertificateReport& certificate) {
    QString verdict = QStringLiteral("Verified: yes");
    if (certificate.pinMatched) {
        verdict = QStringLiteral("Verified: yes, it is the certificate you chose to trust");
    } else if (!certificate.verified) {
        verdict = QStringLiteral("Verified: no, ") + text(certificate.verifyError);
    }
    return {QStringLiteral("TLS version: ") + text(certificate.protocol),
            QStringLiteral("Certificate subject: ") + text(certificate.subject),
            QStringLiteral("Issuer: ") + text(certificate.issuer),
            QStringLiteral("Valid from ") + text(certificate.notBefore) +
                QStringLiteral(" until ") + text(certificate.notAfter),
            QStringLiteral("SHA-256 fingerprint: ") +
                text(platform::fingerprintText(certificate.digest)),
            verdict};
}

}  // namespace

QString host(const Pop3Settings& server) {
    if (server.useDomainName) {
        return QString::fromLatin1(server.serverName);
    }
    return text(platform::addressToDotted({server.ip1, server.ip2, server.ip3, server.ip4}));
}

QString connecting(const Pop3Settings& server) {
    return QStringLiteral("Connecting to %1, port %2 ...").arg(host(server)).arg(server.pop3Port);
}

QString describe(const ProbeReport& report) {
    QStringList lines;
    if (!report.sessionCouldStart) {
        lines << QStringLiteral("Failed: ") + text(report.failure);
    }
    if (!report.greeting.empty()) {
        lines << QStringLiteral("The server's greeting: ") + text(report.greeting);
    }
    if (report.certificate) {
        lines << certificateLines(*report.certificate);
    } else if (report.sessionCouldStart) {
        lines << QStringLiteral("The connection to the server is not encrypted.");
    }
    return lines.join(u'\n');
}

QString trustQuestion(const Pop3Settings& server, const platform::CertificateReport& certificate,
                      const QString& button) {
    return QStringLiteral(
               "Trust this certificate for %1?\n\nSubject: %2\nIssuer: %3\nSHA-256 fingerprint:\n"
               "%4\n\nSay Yes only if this is the fingerprint your provider or the server's "
               "administrator gives you. Glimmerfen then accepts this certificate, and no other, "
               "for the server although it could not be verified. It is kept when you press %5.")
        .arg(host(server), text(certificate.subject), text(certificate.issuer),
             text(platform::fingerprintText(certificate.digest)), button);
}

QString trustedNote(const QString& button) {
    return QStringLiteral("This certificate will be trusted once you press %1.").arg(button);
}

}  // namespace probetext
