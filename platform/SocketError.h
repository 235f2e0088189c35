#pragma once

#include <string>

namespace platform {

// Failures of the socket layer are reported, logged and compared as the Windows
// socket codes that the log format and the port-conflict rule are written for
// (10048 "address already in use", 10035 "would block", ...), whatever the
// operating system calls them.

// The socket code for an errno value. 0 stays 0 ("No Error"); an errno with no
// socket counterpart is passed through unchanged, so the log still carries the
// number (its text is then "Unknown Error.").
int socketErrorCode(int err);

// The socket code for a getaddrinfo() failure (EAI_*). EAI_SYSTEM is read from
// errno, which getaddrinfo leaves set for that case.
int gaiErrorCode(int gaiErr);

// The socket code for the errno of the failed call just made on this thread.
int lastSocketErrorCode();

// "WSAEADDRINUSE, [10048] Address already in use" and the like; "Unknown Error."
// for a code outside the table.
std::string socketErrorText(int code);

}  // namespace platform
