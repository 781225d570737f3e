#include "net/socket_errors.h"

#include <netdb.h>

#include <cerrno>

namespace sl {

namespace {

struct ErrorText {
  int error;
  const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "No Error"},
    {4, "Interrupted system call"},
    {9, "Bad file number"},
    {11, "Operation would block"},
    {13, "Permission denied"},
    {14, "Bad address"},
    {22, "Invalid argument"},
    {24, "Too many open files"},
    {36, "File name too long"},
    {39, "Directory not empty"},
    {40, "Too many levels of symbolic links"},
    {66, "Too many levels of remote in path"},
    {87, "Too many users"},
    {88, "Socket operation on non-socket"},
    {89, "Destination address required"},
    {90, "Message too long"},
    {91, "Protocol wrong type for socket"},
    {92, "Protocol not available"},
    {93, "Protocol not supported"},
    {94, "Socket type not supported"},
    {95, "Operation not supported on socket"},
    {96, "Protocol family not supported"},
    {97, "Address family not supported by protocol family"},
    {98, "Address already in use"},
    {99, "Address not available"},
    {100, "Network is down"},
    {101, "Network is unreachable"},
    {102, "Network dropped connection on reset"},
    {103, "Connection aborted"},
    {104, "Connection reset by peer"},
    {105, "No buffer space available"},
    {106, "Socket is already connected"},
    {107, "Socket is not connected"},
    {108, "Can't send after socket shutdown"},
    {109, "Too many references: can't splice"},
    {110, "Connection timed out"},
    {111, "Connection refused"},
    {112, "Host is down"},
    {113, "No route to host"},
    {114, "Operation already in progress"},
    {115, "Operation now in progress"},
    {116, "Stale NFS file handle"},
    {122, "Disc quota exceeded"},
    {999990, "Too many processes"},
    {999991, "Network sub-system is unusable"},
    {999992, "WinSock DLL cannot support this application"},
    {999993, "WinSock not initialized"},
    {999994, "Host not found"},
    {999995, "Non-authoritative host not found"},
    {999996, "Non-recoverable error"},
    {999997, "No Data"},
};

static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == 51);

}  // namespace

std::string AsyncSocketErrorText(int error) {
  for (const ErrorText& e : kErrorTexts) {
    if (e.error == error) return e.text;
  }
  return "Not a WinSock error";
}

int ResolverError(int gai_code) {
  switch (gai_code) {
    case 0:
      return 0;
    case EAI_AGAIN:
      return kErrTryAgain;
    case EAI_FAIL:
      return kErrNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kErrNoData;
#endif
    case EAI_MEMORY:
      return ENOBUFS;
    case EAI_SYSTEM:
      return errno != 0 ? errno : kErrNoRecovery;
    default:
      return kErrHostNotFound;
  }
}

}  // namespace sl
