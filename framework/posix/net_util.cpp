// Helpers shared by the posix socket and lookup code (see net_util.h).
#include "framework/posix/net_util.h"

#include <cerrno>

#include "framework/async_socket.h"

namespace fw::posix {
namespace {

thread_local int t_lastError = 0;

// Winsock codes without a constant in the public header.
constexpr int kWsaEAccess = 10013;
constexpr int kWsaEFault = 10014;
constexpr int kWsaEMFile = 10024;
constexpr int kWsaEAlready = 10037;
constexpr int kWsaEMsgSize = 10040;
constexpr int kWsaEAfNoSupport = 10047;
constexpr int kWsaEAddrInUse = 10048;
constexpr int kWsaEAddrNotAvail = 10049;
constexpr int kWsaENetDown = 10050;
constexpr int kWsaEIsConn = 10056;
constexpr int kWsaEShutdown = 10058;

}  // namespace

void SetLastSocketError(int error) {
  t_lastError = error;
}
int LastSocketError() {
  return t_lastError;
}

int WinsockErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return 0;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EINPROGRESS:
      return kWsaEWouldBlock;
    case EALREADY:
      return kWsaEAlready;
    case EBADF:
    case ENOTSOCK:
      return kWsaENotSock;
    case EINVAL:
      return kWsaEInval;
    case ENOBUFS:
    case ENOMEM:
      return kWsaENoBufs;
    case ECONNABORTED:
      return kWsaEConnAborted;
    case ECONNRESET:
    case EPIPE:
      return kWsaEConnReset;
    case ENOTCONN:
      return kWsaENotConn;
    case ETIMEDOUT:
      return kWsaETimedOut;
    case ECONNREFUSED:
      return kWsaEConnRefused;
    case EHOSTUNREACH:
      return kWsaEHostUnreach;
    case ENETUNREACH:
      return kWsaENetUnreach;
    case ENETDOWN:
      return kWsaENetDown;
    case EACCES:
    case EPERM:
      return kWsaEAccess;
    case EFAULT:
      return kWsaEFault;
    case EMFILE:
    case ENFILE:
      return kWsaEMFile;
    case EMSGSIZE:
      return kWsaEMsgSize;
    case EAFNOSUPPORT:
      return kWsaEAfNoSupport;
    case EADDRINUSE:
      return kWsaEAddrInUse;
    case EADDRNOTAVAIL:
      return kWsaEAddrNotAvail;
    case EISCONN:
      return kWsaEIsConn;
    case ESHUTDOWN:
      return kWsaEShutdown;
    default:
      return kWsaEInval;
  }
}

bool ParseDottedIpv4(const char* text, std::uint32_t& address) {
  if (text == nullptr || *text == '\0') return false;
  std::uint32_t parts[4] = {};
  int count = 0;
  const char* p = text;
  for (;;) {
    if (count == 4) return false;
    int base = 10;
    if (*p == '0') {
      base = 8;
      if (p[1] == 'x' || p[1] == 'X') {
        base = 16;
        p += 2;
      }
    }
    const char* digitsStart = p;
    std::uint64_t value = 0;
    for (;; ++p) {
      int digit;
      const char c = *p;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (base == 16 && c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (base == 16 && c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        break;
      }
      if (digit >= base) return false;
      value = value * base + digit;
      if (value > 0xFFFFFFFFu) return false;
    }
    if (p == digitsStart && base != 8) return false;  // "0x" or an empty part
    parts[count++] = static_cast<std::uint32_t>(value);
    if (*p == '\0') break;
    if (*p != '.') return false;
    ++p;
  }
  // The last part fills the bytes that the parts before it leave.
  std::uint32_t result = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) return false;
    result |= parts[i] << (24 - 8 * i);
  }
  const std::uint32_t lastMax = count == 1 ? 0xFFFFFFFFu : (0xFFFFFFFFu >> (8 * (count - 1)));
  if (parts[count - 1] > lastMax) return false;
  address = result | parts[count - 1];
  return true;
}

}  // namespace fw::posix
