#include "net/socket_errors.h"

#include <netdb.h>

#include <cerrno>

namespace sl {

namespace {

// One row per error number: the handles' text (nullptr: none) and the
// asynchronous layer's text.
struct ErrorText {
  int code;
  const char* handle_text;
  const char* async_text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, nullptr, "No Error"},
    {4, "Interrupted system call.", "Interrupted system call"},
    {9, "Bad file number.", "Bad file number"},
    {11, "Operation would block. ", "Operation would block"},
    {13, "Access denied.", "Permission denied"},
    {14, "Bad address.", "Bad address"},
    {22, "Invalid argument.", "Invalid argument"},
    {24, "Too many open files.", "Too many open files"},
    {36, "File name too long.", "File name too long"},
    {39, "Directory not empty", "Directory not empty"},
    {40, "Too many levels of symbolic links.", "Too many levels of symbolic links"},
    {66, nullptr, "Too many levels of remote in path"},
    {87, nullptr, "Too many users"},
    {88, "Socket operation on non-socket.", "Socket operation on non-socket"},
    {89, "Destination address required.", "Destination address required"},
    {90, "Message too long.", "Message too long"},
    {91, "Protocol wrong type for socket.", "Protocol wrong type for socket"},
    {92, "Bad protocol option.", "Protocol not available"},
    {93, "Protocol not supported.", "Protocol not supported"},
    {94, "Socket type not supported.", "Socket type not supported"},
    {95, "Operation not supported on socket.", "Operation not supported on socket"},
    {96, "Protocol family not supported.", "Protocol family not supported"},
    {97, "Address family not supported by protocol family.",
     "Address family not supported by protocol family"},
    {98, "Address already in use.", "Address already in use"},
    {99, "Cannot assign requested address.", "Address not available"},
    {100, "Network is down.", "Network is down"},
    {101, "Network is unreachable.", "Network is unreachable"},
    {102, "Net dropped connection or reset.", "Network dropped connection on reset"},
    {103, "Software caused connection abort.", "Connection aborted"},
    {104, "Connection reset by peer.", "Connection reset by peer"},
    {105, "No buffer space available.", "No buffer space available"},
    {106, "Socket is already connected.", "Socket is already connected"},
    {107, "Socket is not connected.", "Socket is not connected"},
    {108, "Cannot send or receive after socket is closed.", "Can't send after socket shutdown"},
    {109, "Too many references, cannot splice.", "Too many references: can't splice"},
    {110, "Connection timed out.", "Connection timed out"},
    {111, "Connection refused.", "Connection refused"},
    {112, "Host is down.", "Host is down"},
    {113, "No route to host.", "No route to host"},
    {114, "Operation already in progress.", "Operation already in progress"},
    {115, "Operation now in progress.", "Operation now in progress"},
    {116, nullptr, "Stale NFS file handle"},
    {122, nullptr, "Disc quota exceeded"},
    {999990, nullptr, "Too many processes"},
    {999991, nullptr, "Network sub-system is unusable"},
    {999992, nullptr, "WinSock DLL cannot support this application"},
    {999993, nullptr, "WinSock not initialized"},
    {999994, nullptr, "Host not found"},
    {999995, nullptr, "Non-authoritative host not found"},
    {999996, nullptr, "Non-recoverable error"},
    {999997, nullptr, "No Data"},
};

static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 51);

const ErrorText* Find(int error_code) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.code == error_code) return &e;
  }
  return nullptr;
}

}  // namespace

ESocketError::ESocketError(int error_code)
    : std::runtime_error(SocketErrorMessage(error_code)), error_code_(error_code) {}

std::string SocketErrorText(int error_code) {
  const ErrorText* e = Find(error_code);
  return e != nullptr && e->handle_text != nullptr ? e->handle_text : "";
}

std::string SocketErrorMessage(int error_code) {
  return "Socket Error # " + std::to_string(error_code) + "\r\n" + SocketErrorText(error_code);
}

std::string AsyncSocketErrorText(int error_code) {
  const ErrorText* e = Find(error_code);
  return e != nullptr ? e->async_text : "Not a WinSock error";
}

int ResolverError(int gai_code) {
  switch (gai_code) {
    case 0: return 0;
    case EAI_AGAIN: return kErrTryAgain;
    case EAI_FAIL: return kErrNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA: return kErrNoData;
#endif
    case EAI_MEMORY: return ENOBUFS;
    case EAI_SYSTEM: return errno != 0 ? errno : kErrNoRecovery;
    default: return kErrHostNotFound;
  }
}

}  // namespace sl
