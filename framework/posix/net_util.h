// Helpers shared by the posix socket and lookup code: the thread's last Winsock error, errno
// to Winsock error mapping, and the dotted IPv4 parser.
#pragma once

#include <cstdint>

namespace fw::posix {

void SetLastSocketError(int error);
int LastSocketError();

// The Winsock error that corresponds to an errno value.
int WinsockErrorFromErrno(int error);

// Parses the dotted forms that inet_addr accepts ("a.b.c.d", "a.b.c", "a.b", "a"; each part
// decimal, octal with a leading 0, or hexadecimal with 0x) with nothing before or after.
// The result is in host order.
bool ParseDottedIpv4(const char* text, std::uint32_t& address);

}  // namespace fw::posix
