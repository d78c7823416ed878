// What the center needs from the host's sockets beyond OpenSSL's portable
// socket calls: a readiness wait with millisecond granularity
// (BIO_socket_wait counts whole seconds), the constants those calls take, and
// the text of an address the verification fetch is about to connect to.
// Sockets are OpenSSL's int descriptors.
#pragma once

#include <chrono>
#include <string>

struct sockaddr;

namespace qm::certcenter::host {

enum class Readiness { Ready, TimedOut, Failed };

// Waits until `socket` can be read (or, with `forWriting`, written) or has
// failed or been closed by the peer (then Ready: the next call reports it),
// at most `timeout`. An interrupted wait reads as TimedOut.
Readiness WaitForSocket(int socket, bool forWriting, std::chrono::milliseconds timeout);

// Once per process before serving: a peer that closes while an answer is
// written must fail the write, not end the process (SIGPIPE on POSIX).
void PrepareSockets();

// The numeric text of an IPv4 or IPv6 socket address ("192.0.2.1",
// "2001:db8::1"); empty for other families.
std::string SocketAddressText(const sockaddr* address);

// SOCK_STREAM and AF_UNSPEC, for BIO_lookup_ex.
int StreamSocketType();
int AnyAddressFamily();

}  // namespace qm::certcenter::host
