// The center's HTTPS endpoint: TLS on OpenSSL's portable sockets and the
// little of HTTP/1.1 the protocol needs (one request per connection,
// answered with "Connection: close").
//
// It stays available to everyone while some clients misbehave: one thread
// only accepts, each connection has a thread of its own (so an idle client,
// a slow one or a slow handler holds only its own), connections are capped
// in all and per peer address, and each stage of a connection has a
// wall-clock deadline: the TLS handshake, the whole request (headers and
// body, however slowly it trickles in) and the answer.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qm::certcenter {

struct FrontLimits {
    std::chrono::milliseconds handshakeTimeout{10000};  // from the accept
    std::chrono::milliseconds requestTimeout{10000};    // from the end of the handshake
    std::chrono::milliseconds writeTimeout{10000};      // for the whole answer
    size_t maxConnections = 512;                        // all addresses together
    size_t maxConnectionsPerAddress = 16;               // concurrent, per peer address
    size_t maxHeaderBytes = 16 * 1024;                  // request line and headers
    size_t maxBodyBytes = 1024 * 1024;
};

struct FrontRequest {
    enum class Problem {
        None,
        TooLarge,  // the body is (or is declared) larger than maxBodyBytes; `body` is empty
        BadHead,   // the request line or headers cannot be read; `method` may be empty
        BadBody,   // a chunked body that does not follow the format
    };
    std::string method;  // as sent ("POST")
    std::string target;
    std::string body;
    std::string peerAddress;  // numeric ("127.0.0.1", "::1")
    Problem problem = Problem::None;
};

struct FrontAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};

// Called on the connection's own thread, possibly on many at once, for
// every request read whole or refused (see Problem); a connection cut off
// at a deadline, by a stop or by its peer reaches no handler. An exception
// is answered with a bare 500.
using FrontHandler = std::function<FrontAnswer(const FrontRequest&)>;

class HttpsFront {
public:
    // `context` carries the certificate and key; the front keeps a reference
    // to it.
    HttpsFront(SSL_CTX* context, FrontLimits limits, FrontHandler handler);
    ~HttpsFront();  // stops
    HttpsFront(const HttpsFront&) = delete;
    HttpsFront& operator=(const HttpsFront&) = delete;

    // Listens on host:port (port 0: any free one) and returns the port.
    // Throws std::runtime_error when it cannot.
    int Listen(const std::string& host, int port);
    // Accepts on a thread of its own until Stop.
    void Start();
    // Stops accepting, cuts the open connections off at their next wait (a
    // handler already called finishes first) and waits for their threads.
    void Stop();

    // Connections accepted and not yet closed.
    size_t OpenConnections() const;

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

}  // namespace qm::certcenter
