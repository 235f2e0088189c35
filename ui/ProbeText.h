#pragma once

#include <QString>

#include "platform/TlsStream.h"
#include "proxy/ServerProbe.h"
#include "store/Pop3Settings.h"

// What the window says about a connection test: the same words wherever a
// test is run (Server Settings, the first-start assistant).
namespace probetext {

// The server as the person typed it: the domain name or the IP number.
QString host(const Pop3Settings& server);

// "Connecting to HOST, port N ..." while a test runs.
QString connecting(const Pop3Settings& server);

// The failure sentence, the greeting, and everything about the certificate
// that the person needs to judge it, one item a line.
QString describe(const ProbeReport& report);

// The question before a certificate that could not be verified is trusted;
// the pin is kept when the person presses `button`.
QString trustQuestion(const Pop3Settings& server, const platform::CertificateReport& certificate,
                      const QString& button);

// The line the report gets once the certificate has been trusted; it is kept
// when the person presses `button`.
QString trustedNote(const QString& button);

}  // namespace probetext
