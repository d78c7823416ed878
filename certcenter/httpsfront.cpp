#include "certcenter/httpsfront.h"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "certcenter/host/sockets.h"

namespace qm::certcenter {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// What OpenSSL's socket calls return for no socket (INVALID_SOCKET).
constexpr int kNoSocket = -1;
// Waits look at the stop flag this often: the longest a stop waits for an
// idle connection or the accept thread.
constexpr milliseconds kStopCheck{100};
// A request answered before it was read whole (refused for its size, or not
// understood) may still be arriving: it is read and dropped for a while, so
// that closing does not reset the connection before the client has read the
// answer.
constexpr milliseconds kLinger{1000};
constexpr size_t kLingerBytes = 4 * 1024 * 1024;
constexpr size_t kReadSize = 16 * 1024;
constexpr size_t kMaxChunkSizeLine = 1024;

Clock::time_point Deadline(milliseconds timeout) {
    return Clock::now() + timeout;
}

char LowerChar(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerChar);
    return lower;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool IsToken(std::string_view text) {
    static constexpr std::string_view kSymbols = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               kSymbols.find(c) != std::string_view::npos;
    });
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return status < 400 ? "OK" : "Error";
    }
}

// The numeric address text; an IPv4 client of a dual-stack socket as plain
// IPv4, so that it counts as the same address either way.
std::string AddressText(const BIO_ADDR* address) {
    char* text = BIO_ADDR_hostname_string(address, 1);
    if (!text)
        return "unknown";
    std::string result(text);
    OPENSSL_free(text);
    constexpr std::string_view kMapped = "::ffff:";
    if (result.size() > kMapped.size() && LowerAscii(result.substr(0, kMapped.size())) == kMapped &&
        result.find('.') != std::string::npos)
        result.erase(0, kMapped.size());
    return result;
}

// What the request line and headers say about the body.
struct Head {
    bool http11 = false;
    bool chunked = false;
    std::optional<uint64_t> length;  // Content-Length, saturated
    bool expectContinue = false;
};

uint64_t SaturatedDecimal(std::string_view digits) {
    uint64_t value = 0;
    for (const char c : digits) {
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

// Reads the request line and headers (without the blank line ending them)
// into `request` and `head`; false when they do not follow HTTP/1.x.
bool ParseHead(std::string_view text, FrontRequest& request, Head& head) {
    size_t lineEnd = text.find("\r\n");
    const std::string_view requestLine = text.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t secondSpace = requestLine.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos)
        return false;
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target =
        requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string_view version = requestLine.substr(secondSpace + 1);
    if (!IsToken(method) || target.empty() || std::any_of(target.begin(), target.end(), [](char c) {
            return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
        }))
        return false;
    request.method = std::string(method);
    request.target = std::string(target);
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return false;
    head.http11 = version == "HTTP/1.1";

    bool sawTransferEncoding = false;
    while (lineEnd != std::string_view::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = text.find("\r\n", start);
        const std::string_view line = text.substr(start, lineEnd - start);
        const size_t colon = line.find(':');
        // A header folded onto a further line is not allowed in requests.
        if (colon == std::string_view::npos || !IsToken(line.substr(0, colon)))
            return false;
        const std::string_view value = TrimSpaces(line.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return c == '\0' || c == '\r' || c == '\n'; }))
            return false;
        const std::string name = LowerAscii(line.substr(0, colon));
        if (name == "content-length") {
            if (value.empty() || !std::all_of(value.begin(), value.end(),
                                              [](char c) { return c >= '0' && c <= '9'; }))
                return false;
            const uint64_t length = SaturatedDecimal(value);
            if (head.length && *head.length != length)
                return false;
            head.length = length;
        } else if (name == "transfer-encoding") {
            // Only a plain chunked body; anything else could be read two ways.
            if (sawTransferEncoding || LowerAscii(value) != "chunked")
                return false;
            sawTransferEncoding = true;
            head.chunked = true;
        } else if (name == "expect") {
            head.expectContinue = LowerAscii(value) == "100-continue";
        }
    }
    return !(head.chunked && head.length);
}

// What every connection shares.
struct Endpoint {
    Endpoint(SSL_CTX* context, FrontLimits limits, FrontHandler handler)
        : context(context), limits(limits), handler(std::move(handler)) {
        SSL_CTX_up_ref(context);
    }
    ~Endpoint() { SSL_CTX_free(context); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    SSL_CTX* const context;
    const FrontLimits limits;
    const FrontHandler handler;
    std::atomic<bool> stopping{false};
};

// One accepted connection, served on its own thread: handshake, request,
// handler, answer, each bounded in time.
class Connection {
public:
    Connection(const Endpoint& endpoint, int socket, std::string peerAddress)
        : endpoint_(endpoint), limits_(endpoint.limits), socket_(socket) {
        request_.peerAddress = std::move(peerAddress);
    }
    ~Connection() {
        if (ssl_)
            SSL_free(ssl_);
        BIO_closesocket(socket_);
        ERR_clear_error();
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Serve();

private:
    enum class Read { Whole, Refused, Cut };

    bool WaitForSocket(bool forWriting, Clock::time_point deadline);
    template <class Operation>
    int Drive(Operation operation, Clock::time_point deadline);
    bool ReadMore(Clock::time_point deadline);
    bool WriteAll(std::string_view data, Clock::time_point deadline);
    Read ReadRequest(Clock::time_point deadline);
    Read ReadChunkedBody(Clock::time_point deadline);
    bool Answer(const FrontAnswer& answer);
    void Linger();

    const Endpoint& endpoint_;
    const FrontLimits& limits_;
    const int socket_;
    SSL* ssl_ = nullptr;
    FrontRequest request_;
    std::string buffer_;  // bytes read and not yet taken
    size_t taken_ = 0;    // of buffer_
};

void Connection::Serve() {
    ssl_ = SSL_new(endpoint_.context);
    if (!ssl_ || SSL_set_fd(ssl_, socket_) != 1)
        return;
    if (Drive([this] { return SSL_accept(ssl_); }, Deadline(limits_.handshakeTimeout)) <= 0)
        return;
    const Read read = ReadRequest(Deadline(limits_.requestTimeout));
    if (read == Read::Cut)
        return;
    FrontAnswer answer;
    try {
        answer = endpoint_.handler(request_);
    } catch (...) {
        answer = {500, "text/plain", "the server failed on this request\n"};
    }
    if (!Answer(answer))
        return;
    if (read == Read::Refused)
        Linger();
    // Our close_notify; the peer's is not waited for.
    ERR_clear_error();
    SSL_shutdown(ssl_);
}

bool Connection::WaitForSocket(bool forWriting, Clock::time_point deadline) {
    for (;;) {
        if (endpoint_.stopping)
            return false;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        const auto left = std::chrono::ceil<milliseconds>(deadline - now);
        switch (host::WaitForSocket(socket_, forWriting, std::min(left, kStopCheck))) {
            case host::Readiness::Ready:
                return true;
            case host::Readiness::Failed:
                return false;
            case host::Readiness::TimedOut:
                break;
        }
    }
}

// Repeats a non-blocking TLS call until it is done, waiting for the socket
// in between. Its result when positive; 0 or less when the peer closed, the
// connection failed, the deadline passed or a stop came.
template <class Operation>
int Connection::Drive(Operation operation, Clock::time_point deadline) {
    for (;;) {
        ERR_clear_error();
        const int result = operation();
        if (result > 0)
            return result;
        switch (SSL_get_error(ssl_, result)) {
            case SSL_ERROR_WANT_READ:
                if (!WaitForSocket(false, deadline))
                    return -1;
                break;
            case SSL_ERROR_WANT_WRITE:
                if (!WaitForSocket(true, deadline))
                    return -1;
                break;
            default:
                return -1;
        }
    }
}

bool Connection::ReadMore(Clock::time_point deadline) {
    // Keeps what was taken from piling up in front of what was not.
    if (taken_ >= kReadSize) {
        buffer_.erase(0, taken_);
        taken_ = 0;
    }
    const size_t had = buffer_.size();
    buffer_.resize(had + kReadSize);
    const int read =
        Drive([&] { return SSL_read(ssl_, buffer_.data() + had, static_cast<int>(kReadSize)); },
              deadline);
    buffer_.resize(had + (read > 0 ? static_cast<size_t>(read) : 0));
    return read > 0;
}

bool Connection::WriteAll(std::string_view data, Clock::time_point deadline) {
    while (!data.empty()) {
        const int piece = static_cast<int>(std::min<size_t>(data.size(), 64 * 1024));
        const int written = Drive([&] { return SSL_write(ssl_, data.data(), piece); }, deadline);
        if (written <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

Connection::Read Connection::ReadRequest(Clock::time_point deadline) {
    size_t headEnd = 0;
    size_t searchFrom = 0;
    while ((headEnd = buffer_.find("\r\n\r\n", searchFrom)) == std::string::npos) {
        if (buffer_.size() > limits_.maxHeaderBytes) {
            request_.problem = FrontRequest::Problem::BadHead;
            return Read::Refused;
        }
        searchFrom = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
        if (!ReadMore(deadline))
            return Read::Cut;
    }
    Head head;
    if (headEnd > limits_.maxHeaderBytes ||
        !ParseHead(std::string_view(buffer_).substr(0, headEnd), request_, head)) {
        request_.problem = FrontRequest::Problem::BadHead;
        return Read::Refused;
    }
    taken_ = headEnd + 4;

    if (head.length && *head.length > limits_.maxBodyBytes) {
        request_.problem = FrontRequest::Problem::TooLarge;
        return Read::Refused;
    }
    const bool hasBody = head.chunked || (head.length && *head.length > 0);
    if (!hasBody)
        return Read::Whole;
    // The client waits for this before it sends the body (curl does for
    // bodies over 1 KiB), and sends it anyway after a while.
    if (head.expectContinue && head.http11 &&
        !WriteAll("HTTP/1.1 100 Continue\r\n\r\n",
                  std::min(deadline, Deadline(limits_.writeTimeout))))
        return Read::Cut;
    if (head.chunked)
        return ReadChunkedBody(deadline);

    const size_t length = static_cast<size_t>(*head.length);
    while (buffer_.size() - taken_ < length)
        if (!ReadMore(deadline))
            return Read::Cut;
    request_.body.assign(buffer_, taken_, length);
    taken_ += length;
    return Read::Whole;
}

Connection::Read Connection::ReadChunkedBody(Clock::time_point deadline) {
    // The next line, without its CR LF, once it is in; nullopt when the
    // connection ends first, "too long" when it exceeds `limit`.
    bool tooLong = false;
    auto nextLine = [&](size_t limit) -> std::optional<std::string_view> {
        size_t end = 0;
        while ((end = buffer_.find("\r\n", taken_)) == std::string::npos) {
            if (buffer_.size() - taken_ > limit) {
                tooLong = true;
                return std::nullopt;
            }
            if (!ReadMore(deadline))
                return std::nullopt;
        }
        if (end - taken_ > limit) {
            tooLong = true;
            return std::nullopt;
        }
        const std::string_view line(buffer_.data() + taken_, end - taken_);
        taken_ = end + 2;
        return line;
    };
    auto refuse = [&](FrontRequest::Problem problem) {
        request_.problem = problem;
        request_.body.clear();
        return Read::Refused;
    };

    for (;;) {
        const auto line = nextLine(kMaxChunkSizeLine);
        if (!line)
            return tooLong ? refuse(FrontRequest::Problem::BadBody) : Read::Cut;
        const std::string_view digits = TrimSpaces(line->substr(0, line->find(';')));
        uint64_t size = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), size, 16);
        if (digits.empty() || end != digits.data() + digits.size() ||
            (error != std::errc() && error != std::errc::result_out_of_range))
            return refuse(FrontRequest::Problem::BadBody);
        if (error == std::errc::result_out_of_range ||
            size > limits_.maxBodyBytes - request_.body.size())
            return refuse(FrontRequest::Problem::TooLarge);
        if (size == 0)
            break;
        const size_t chunk = static_cast<size_t>(size);
        while (buffer_.size() - taken_ < chunk + 2)
            if (!ReadMore(deadline))
                return Read::Cut;
        if (buffer_.compare(taken_ + chunk, 2, "\r\n") != 0)
            return refuse(FrontRequest::Problem::BadBody);
        request_.body.append(buffer_, taken_, chunk);
        taken_ += chunk + 2;
    }
    // Trailer fields, up to the blank line; they are not used.
    for (size_t trailerBytes = 0;;) {
        const auto line = nextLine(limits_.maxHeaderBytes);
        if (!line)
            return tooLong ? refuse(FrontRequest::Problem::BadBody) : Read::Cut;
        if (line->empty())
            return Read::Whole;
        trailerBytes += line->size() + 2;
        if (trailerBytes > limits_.maxHeaderBytes)
            return refuse(FrontRequest::Problem::BadBody);
    }
}

bool Connection::Answer(const FrontAnswer& answer) {
    std::string text =
        "HTTP/1.1 " + std::to_string(answer.status) + " " + ReasonPhrase(answer.status) + "\r\n";
    if (!answer.contentType.empty())
        text += "Content-Type: " + answer.contentType + "\r\n";
    text +=
        "Content-Length: " + std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    if (request_.method != "HEAD")
        text += answer.body;
    return WriteAll(text, Deadline(limits_.writeTimeout));
}

void Connection::Linger() {
    const auto until = Deadline(kLinger);
    char scratch[4096];
    for (size_t dropped = 0; dropped < kLingerBytes;) {
        const int read =
            Drive([&] { return SSL_read(ssl_, scratch, static_cast<int>(sizeof scratch)); }, until);
        if (read <= 0)
            return;
        dropped += static_cast<size_t>(read);
    }
}

}  // namespace

struct HttpsFront::Shared : Endpoint {
    using Endpoint::Endpoint;

    void AcceptLoop();
    bool Admit(const std::string& address);
    void Release(const std::string& address);
    void JoinWorkers(bool all);

    int listenSocket = kNoSocket;
    std::thread acceptor;

    mutable std::mutex mutex;  // guards the counts
    size_t open = 0;
    std::map<std::string, size_t> perAddress;

    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    // The accept thread's; Stop's once that thread has ended.
    std::list<Worker> workers;
};

bool HttpsFront::Shared::Admit(const std::string& address) {
    std::lock_guard lock(mutex);
    if (open >= limits.maxConnections)
        return false;
    size_t& fromAddress = perAddress[address];
    if (fromAddress >= limits.maxConnectionsPerAddress) {
        if (fromAddress == 0)
            perAddress.erase(address);
        return false;
    }
    ++fromAddress;
    ++open;
    return true;
}

void HttpsFront::Shared::Release(const std::string& address) {
    std::lock_guard lock(mutex);
    --open;
    if (const auto entry = perAddress.find(address);
        entry != perAddress.end() && --entry->second == 0)
        perAddress.erase(entry);
}

void HttpsFront::Shared::JoinWorkers(bool all) {
    for (auto worker = workers.begin(); worker != workers.end();) {
        if (all || worker->done) {
            if (worker->thread.joinable())
                worker->thread.join();
            worker = workers.erase(worker);
        } else {
            ++worker;
        }
    }
}

void HttpsFront::Shared::AcceptLoop() {
    while (!stopping) {
        JoinWorkers(false);
        const auto ready = host::WaitForSocket(listenSocket, false, kStopCheck);
        if (ready == host::Readiness::TimedOut)
            continue;
        BIO_ADDR* peer = BIO_ADDR_new();
        const int socket = peer ? BIO_accept_ex(listenSocket, peer, BIO_SOCK_NONBLOCK) : kNoSocket;
        const std::string address = socket == kNoSocket ? std::string() : AddressText(peer);
        BIO_ADDR_free(peer);
        if (socket == kNoSocket) {
            // Out of descriptors or memory, or the client gave up: the
            // listening socket may stay readable, so this must not spin.
            ERR_clear_error();
            std::this_thread::sleep_for(milliseconds(10));
            continue;
        }
        if (!Admit(address)) {
            BIO_closesocket(socket);
            continue;
        }
        Worker& worker = workers.emplace_back();
        try {
            worker.thread = std::thread([this, &worker, socket, address] {
                Connection(*this, socket, address).Serve();
                Release(address);
                worker.done = true;
            });
        } catch (const std::exception&) {
            workers.pop_back();
            BIO_closesocket(socket);
            Release(address);
        }
    }
}

HttpsFront::HttpsFront(SSL_CTX* context, FrontLimits limits, FrontHandler handler)
    : shared_(std::make_unique<Shared>(context, limits, std::move(handler))) {}

HttpsFront::~HttpsFront() {
    Stop();
    if (shared_->listenSocket != kNoSocket)
        BIO_closesocket(shared_->listenSocket);
}

int HttpsFront::Listen(const std::string& host, int port) {
    host::PrepareSockets();
    if (shared_->listenSocket != kNoSocket)
        throw std::logic_error("the front already listens");
    const std::string where = host + ":" + std::to_string(port);
    BIO_ADDRINFO* addresses = nullptr;
    if (BIO_lookup_ex(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(),
                      BIO_LOOKUP_SERVER, host::AnyAddressFamily(), host::StreamSocketType(), 0,
                      &addresses) != 1) {
        ERR_clear_error();
        throw std::runtime_error("cannot listen on " + where + ": the address is not known");
    }
    // Windows would let another program take over a port bound with
    // SO_REUSEADDR; elsewhere it only allows a quick restart.
#ifdef _WIN32
    const int options = BIO_SOCK_NONBLOCK | BIO_SOCK_NODELAY;
#else
    const int options = BIO_SOCK_NONBLOCK | BIO_SOCK_NODELAY | BIO_SOCK_REUSEADDR;
#endif
    int socket = kNoSocket;
    for (const BIO_ADDRINFO* address = addresses; address && socket == kNoSocket;
         address = BIO_ADDRINFO_next(address)) {
        socket = BIO_socket(BIO_ADDRINFO_family(address), BIO_ADDRINFO_socktype(address),
                            BIO_ADDRINFO_protocol(address), 0);
        if (socket != kNoSocket &&
            BIO_listen(socket, BIO_ADDRINFO_address(address), options) != 1) {
            BIO_closesocket(socket);
            socket = kNoSocket;
        }
    }
    BIO_ADDRINFO_free(addresses);
    ERR_clear_error();
    if (socket == kNoSocket)
        throw std::runtime_error("cannot listen on " + where);

    int bound = 0;
    BIO_sock_info_u info{};
    info.addr = BIO_ADDR_new();
    if (info.addr && BIO_sock_info(socket, BIO_SOCK_INFO_ADDRESS, &info) == 1) {
        if (char* service = BIO_ADDR_service_string(info.addr, 1)) {
            const std::string_view text(service);
            std::from_chars(text.data(), text.data() + text.size(), bound);
            OPENSSL_free(service);
        }
    }
    BIO_ADDR_free(info.addr);
    ERR_clear_error();
    if (bound <= 0) {
        BIO_closesocket(socket);
        throw std::runtime_error("cannot listen on " + where + ": the port is not known");
    }
    shared_->listenSocket = socket;
    return bound;
}

void HttpsFront::Start() {
    if (shared_->listenSocket == kNoSocket)
        throw std::logic_error("the front does not listen");
    if (!shared_->acceptor.joinable() && !shared_->stopping)
        shared_->acceptor = std::thread([shared = shared_.get()] { shared->AcceptLoop(); });
}

void HttpsFront::Stop() {
    shared_->stopping = true;
    if (shared_->acceptor.joinable())
        shared_->acceptor.join();
    shared_->JoinWorkers(true);
}

size_t HttpsFront::OpenConnections() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->open;
}

}  // namespace qm::certcenter
