#include "platform/SocketError.h"

#include <netdb.h>

#include <cerrno>
#include <utility>

namespace platform {

namespace {

// A table rather than a switch: several errno names share a value on Linux
// (EAGAIN/EWOULDBLOCK, EOPNOTSUPP/ENOTSUP), and the first entry that matches wins.
constexpr std::pair<int, int> kErrnoCodes[] = {
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},
    // A non-blocking connect that has started reports "would block" there, and
    // the proxy's connect step only accepts that code.
    {EINPROGRESS, 10035},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    // Sending to a connection that is gone; there the send fails as after a shutdown.
    {EPIPE, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

struct CodeText {
    int code;
    const char* text;
};

constexpr CodeText kTexts[] = {
    {0, "WSABASEERR, [0] No Error"},
    {10004, "WSAEINTR, [10004] Interrupted system call"},
    {10009, "WSAEBADF, [10009] Bad file number"},
    {10013, "WSAEACCES, [10013] Permission denied"},
    {10014, "WSAEFAULT, [10014] Bad address"},
    {10022, "WSAEINVAL, [10022] Invalid argument"},
    {10024, "WSAEMFILE, [10024] Too many open files"},
    {10035, "WSAEWOULDBLOCK, [10035] Operation would block"},
    {10036, "WSAEINPROGRESS, [10036] Operation now in progress"},
    {10037, "WSAEALREADY, [10037] Operation already in progress"},
    {10038, "WSAENOTSOCK, [10038] Socket operation on non-socket"},
    {10039, "WSAEDESTADDRREQ, [10039] Destination address required"},
    {10040, "WSAEMSGSIZE, [10040] Message too long"},
    {10041, "WSAEPROTOTYPE, [10041] Protocol wrong type for socket"},
    {10042, "WSAENOPROTOOPT, [10042] Bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT, [10043] Protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT, [10044] Socket type not supported"},
    {10045, "WSAEOPNOTSUPP, [10045] Operation not supported on socket"},
    {10046, "WSAEPFNOSUPPORT, [10046] Protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT, [10047] Address family not supported by protocol family"},
    {10048, "WSAEADDRINUSE, [10048] Address already in use"},
    {10049, "WSAEADDRNOTAVAIL, [10049] Can't assign requested address"},
    {10050, "WSAENETDOWN, [10050] Network is down"},
    {10051, "WSAENETUNREACH, [10051] Network is unreachable"},
    {10052, "WSAENETRESET, [10052] Net dropped connection or reset"},
    {10053, "WSAECONNABORTED, [10053] Software caused connection abort"},
    {10054, "WSAECONNRESET, [10054] Connection reset by peer"},
    {10055, "WSAENOBUFS, [10055] No buffer space available"},
    {10056, "WSAEISCONN, [10056] Socket is already connected"},
    {10057, "WSAENOTCONN, [10057] Socket is not connected"},
    {10058, "WSAESHUTDOWN, [10058] Can't send after socket shutdown"},
    {10059, "WSAETOOMANYREFS, [10059] Too many references, can't splice"},
    {10060, "WSAETIMEDOUT, [10060] Connection timed out"},
    {10061, "WSAECONNREFUSED, [10061] Connection refused"},
    {10062, "WSAELOOP, [10062] Too many levels of symbolic links"},
    {10063, "WSAENAMETOOLONG, [10063] File name too long"},
    {10064, "WSAEHOSTDOWN, [10064] Host is down"},
    {10065, "WSAEHOSTUNREACH, [10065] No Route to Host"},
    {10066, "WSAENOTEMPTY, [10066] Directory not empty"},
    {10067, "WSAEPROCLIM, [10067] Too many processes"},
    {10068, "WSAEUSERS, [10068] Too many users"},
    {10069, "WSAEDQUOT, [10069] Disc Quota Exceeded"},
    {10070, "WSAESTALE, [10070] Stale NFS file handle"},
    {10071, "WSAEREMOTE, [10071] Too many levels of remote in path"},
    {10091, "WSASYSNOTREADY, [10091] Network SubSystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED, [10092] WINSOCK DLL Version out of range"},
    {10093, "WSANOTINITIALISED, [10093] Successful WSASTARTUP not yet performed"},
    {11001, "WSAHOST_NOT_FOUND, [11001] Host not found"},
    {11002, "WSATRY_AGAIN, [11002] Non-Authoritative Host not found"},
    {11003, "WSANO_RECOVERY, [11003] Non-Recoverable errors: FORMERR, REFUSED, NOTIMP"},
    {11004, "WSANO_DATA, [11004] Valid name, no data record of requested"},
};

constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;

}  // namespace

int socketErrorCode(int err) {
    if (err == 0) {
        return 0;
    }
    for (const auto& [errnoValue, code] : kErrnoCodes) {
        if (errnoValue == err) {
            return code;
        }
    }
    return err;
}

int gaiErrorCode(int gaiErr) {
    switch (gaiErr) {
        case 0:
            return 0;
        case EAI_NONAME:
            return kHostNotFound;
        case EAI_AGAIN:
            return kTryAgain;
        case EAI_FAIL:
            return kNoRecovery;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return kNoData;
#endif
#ifdef EAI_ADDRFAMILY
        // The name exists but has no IPv4 address: a name without the data asked for.
        case EAI_ADDRFAMILY:
            return kNoData;
#endif
        case EAI_MEMORY:
            return socketErrorCode(ENOBUFS);
        case EAI_FAMILY:
            return socketErrorCode(EAFNOSUPPORT);
        case EAI_SOCKTYPE:
            return socketErrorCode(ESOCKTNOSUPPORT);
        case EAI_BADFLAGS:
            return socketErrorCode(EINVAL);
        case EAI_SYSTEM:
            return errno != 0 ? socketErrorCode(errno) : kNoRecovery;
        default:
            return kNoRecovery;
    }
}

int lastSocketErrorCode() {
    return socketErrorCode(errno);
}

std::string socketErrorText(int code) {
    for (const CodeText& entry : kTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return "Unknown Error.";
}

}  // namespace platform
