// quillmate-standin-iis HOME: a stand-in for IIS and HTTP.sys on Linux that
// serves HTTP and HTTPS from the same files the IIS deployer writes there:
//
//   HOME/applicationHost.config               sites, their bindings and roots
//   HOME/sslbindings.xml                      the HTTP.sys TLS bindings
//   HOME/Certificates/STORE/THUMBPRINT.pem    certificate, chain, private key
//   HOME/w3svc.pid                            written once it listens
//
// The files are compared every 200 ms and taken again when they changed, as
// IIS and HTTP.sys apply changes without a restart; SIGHUP re-reads them and
// recreates every listener; SIGTERM and SIGINT stop it. Each handshake
// chooses its certificate the way HTTP.sys does: the host name binding of
// the SNI name, else the binding of the exact local address, else the
// wildcard address of the connection's family.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace {

namespace fs = std::filesystem;

void Log(const std::string& line) {
    const std::string text = "standin-iis: " + line + "\n";
    // One write per line keeps lines of different threads apart.
    if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
    }
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- Addresses and endpoints ----------------------------------------------

// The canonical text of an IPv4 or IPv6 address (no brackets); nullopt for
// anything else.
std::optional<std::string> CanonicalIp(const std::string& text) {
    unsigned char bytes[sizeof(in6_addr)];
    char out[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6}) {
        if (inet_pton(family, text.c_str(), bytes) == 1 &&
            inet_ntop(family, bytes, out, sizeof out))
            return std::string(out);
    }
    return std::nullopt;
}

bool IsIpv6(const std::string& ip) {
    return ip.find(':') != std::string::npos;
}

// "1.2.3.4:443" or "[::1]:443": how HTTP.sys writes an address and port.
std::string Endpoint(const std::string& ip, int port) {
    return (IsIpv6(ip) ? "[" + ip + "]" : ip) + ":" + std::to_string(port);
}

std::optional<int> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int port = std::stoi(text);
    if (port < 1 || port > 65535)
        return std::nullopt;
    return port;
}

// Splits "ADDRESS:REST" where ADDRESS may be "[v6]"; nullopt without the colon.
std::optional<std::pair<std::string, std::string>> SplitAddress(const std::string& text) {
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        return std::make_pair(text.substr(1, close - 1), text.substr(close + 2));
    }
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return std::make_pair(text.substr(0, colon), text.substr(colon + 1));
}

// ---- The state the files describe ------------------------------------------

struct SiteBinding {
    std::string protocol;  // "http" or "https"
    std::string ip;        // "*" or a canonical address
    int port = 0;
    std::string host;  // lower case; empty: any host
};

struct Site {
    std::string name;
    std::string root;  // document root, environment references expanded
    std::vector<SiteBinding> bindings;
};

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

struct Credential {
    X509Ptr certificate;
    PkeyPtr key;
    std::vector<X509Ptr> chain;
};

struct TlsBinding {
    std::string store;  // upper case
    std::string certHash;
};

struct State {
    std::vector<Site> sites;  // started ones only
    // "name:port" (lower case) for host name bindings, Endpoint() for the others.
    std::map<std::string, TlsBinding> tls;
    // "STORE/THUMBPRINT", both upper case: usable certificates only.
    std::map<std::string, std::shared_ptr<const Credential>> store;
};

// What the state is read from, compared as a whole to notice changes.
struct Sources {
    std::optional<std::string> applicationHost;
    std::optional<std::string> sslBindings;
    std::string storeListing;  // "STORE/FILE size mtime" lines
    bool operator==(const Sources&) const = default;
};

Sources ReadSources(const fs::path& home) {
    Sources sources;
    sources.applicationHost = ReadFile(home / "applicationHost.config");
    sources.sslBindings = ReadFile(home / "sslbindings.xml");
    std::vector<std::string> lines;
    std::error_code ec;
    for (const auto& folder : fs::directory_iterator(home / "Certificates", ec)) {
        std::error_code inner;
        for (const auto& file : fs::directory_iterator(folder.path(), inner)) {
            const auto size = file.file_size(inner);
            const auto time = file.last_write_time(inner).time_since_epoch().count();
            lines.push_back(folder.path().filename().string() + "/" +
                            file.path().filename().string() + " " + std::to_string(size) + " " +
                            std::to_string(time));
        }
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines)
        sources.storeListing += line + "\n";
    return sources;
}

// Parses UTF-8 XML text (a byte order mark allowed) into `doc`.
bool ParseXml(qm::XmlDocument& doc, std::string text) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    return doc.SetDocument(qm::WideFromUtf8(text));
}

std::string Attribute(const qm::XmlDocument& doc, const char* name) {
    return qm::Utf8FromWide(doc.GetAttribute(qm::WideFromAscii(name)));
}

bool Into(qm::XmlDocument& doc, const char* name) {
    return doc.FindElement(qm::WideFromAscii(name)) && doc.IntoElement();
}

// %NAME% references from the environment; unknown ones stay as written.
std::string ExpandEnvironment(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        const auto open = text.find('%', at);
        const auto close = open == std::string::npos ? open : text.find('%', open + 1);
        if (close == std::string::npos) {
            out += text.substr(at);
            break;
        }
        out += text.substr(at, open - at);
        const char* value = std::getenv(text.substr(open + 1, close - open - 1).c_str());
        if (value) {
            out += value;
            at = close + 1;
        } else {
            out += '%';
            at = open + 1;
        }
    }
    return out;
}

// "IP:PORT:HOST", IP "*", empty, an IPv4 address or a bracketed IPv6 one.
std::optional<SiteBinding> ParseBindingInformation(const std::string& protocol,
                                                   const std::string& text) {
    const auto address = SplitAddress(text);
    if (!address)
        return std::nullopt;
    const auto colon = address->second.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    SiteBinding binding;
    binding.protocol = protocol;
    const auto port = ParsePort(address->second.substr(0, colon));
    if (!port)
        return std::nullopt;
    binding.port = *port;
    binding.host = Lower(address->second.substr(colon + 1));
    if (address->first.empty() || address->first == "*") {
        binding.ip = "*";
    } else if (const auto ip = CanonicalIp(address->first)) {
        binding.ip = *ip;
    } else {
        return std::nullopt;
    }
    return binding;
}

bool ReadSites(const std::string& text, std::vector<Site>& sites, std::string& error) {
    qm::XmlDocument doc;
    if (!ParseXml(doc, text)) {
        error = "applicationHost.config is not well-formed XML";
        return false;
    }
    if (!doc.FindElement(u"configuration")) {
        error = "applicationHost.config has no <configuration>";
        return false;
    }
    doc.IntoElement();
    if (!Into(doc, "system.applicationHost") || !Into(doc, "sites"))
        return true;
    while (doc.FindElement(u"site")) {
        const std::string state = Attribute(doc, "state");
        const bool started = state.empty() ? Lower(Attribute(doc, "serverAutoStart")) != "false"
                                           : Lower(state) == "started";
        Site site;
        site.name = Attribute(doc, "name");
        doc.IntoElement();
        while (doc.FindElement()) {
            const std::u16string tag = doc.GetTagName();
            if (tag == u"application") {
                doc.IntoElement();
                while (doc.FindElement(u"virtualDirectory"))
                    site.root = ExpandEnvironment(Attribute(doc, "physicalPath"));
                doc.OutOfElement();
            } else if (tag == u"bindings") {
                doc.IntoElement();
                while (doc.FindElement(u"binding")) {
                    const std::string protocol = Lower(Attribute(doc, "protocol"));
                    if (protocol != "http" && protocol != "https")
                        continue;
                    const std::string information = Attribute(doc, "bindingInformation");
                    if (auto binding = ParseBindingInformation(protocol, information))
                        site.bindings.push_back(std::move(*binding));
                    else
                        Log("site \"" + site.name + "\": ignoring the binding \"" + information +
                            "\"");
                }
                doc.OutOfElement();
            }
        }
        doc.OutOfElement();
        if (started)
            sites.push_back(std::move(site));
    }
    return true;
}

bool ReadTlsBindings(const std::string& text, std::map<std::string, TlsBinding>& tls,
                     std::string& error) {
    qm::XmlDocument doc;
    if (!ParseXml(doc, text) || !doc.FindElement(u"sslBindings")) {
        error = "sslbindings.xml is not well-formed or has no <sslBindings>";
        return false;
    }
    doc.IntoElement();
    while (doc.FindElement(u"binding")) {
        const std::string ipport = Attribute(doc, "ipport");
        const std::string hostnameport = Attribute(doc, "hostnameport");
        std::string key;
        if (!hostnameport.empty()) {
            const auto colon = hostnameport.rfind(':');
            if (colon != std::string::npos && colon > 0 &&
                ParsePort(hostnameport.substr(colon + 1)))
                key = Lower(hostnameport);
        } else if (const auto address = SplitAddress(ipport)) {
            const auto ip = CanonicalIp(address->first);
            const auto port = ParsePort(address->second);
            if (ip && port)
                key = Endpoint(*ip, *port);
        }
        if (key.empty()) {
            Log("sslbindings.xml: ignoring a binding with ipport=\"" + ipport +
                "\" hostnameport=\"" + hostnameport + "\"");
            continue;
        }
        std::string store = Upper(Attribute(doc, "certStoreName"));
        tls[key] = TlsBinding{store.empty() ? "MY" : store, Upper(Attribute(doc, "certHash"))};
    }
    return true;
}

std::string Thumbprint(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha1(), digest, &length);
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

int NoPassPhrase(char*, int, int, void*) {
    return -1;  // never prompt for an encrypted key
}

// The certificate (first), its chain and its key from a store file; why
// not, when it holds no usable certificate.
std::shared_ptr<const Credential> ReadCredential(const std::string& pem,
                                                 const std::string& thumbprint, std::string& why) {
    auto credential = std::make_shared<Credential>();
    {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                      BIO_free);
        while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, NoPassPhrase, nullptr)) {
            if (!credential->certificate)
                credential->certificate.reset(x);
            else
                credential->chain.emplace_back(x);
        }
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), int(pem.size())),
                                                  BIO_free);
    credential->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassPhrase, nullptr));
    ERR_clear_error();
    if (!credential->certificate)
        why = "no certificate";
    else if (Thumbprint(credential->certificate.get()) != thumbprint)
        why = "the certificate's thumbprint is " + Thumbprint(credential->certificate.get());
    else if (!credential->key)
        why = "no private key";
    else if (X509_check_private_key(credential->certificate.get(), credential->key.get()) != 1)
        why = "the private key does not belong to the certificate";
    ERR_clear_error();
    return why.empty() ? credential : nullptr;
}

void ReadStore(const fs::path& home, State& state) {
    std::error_code ec;
    for (const auto& folder : fs::directory_iterator(home / "Certificates", ec)) {
        std::error_code inner;
        for (const auto& file : fs::directory_iterator(folder.path(), inner)) {
            if (file.path().extension() != ".pem")
                continue;
            const std::string store = Upper(folder.path().filename().string());
            const std::string thumbprint = Upper(file.path().stem().string());
            std::string why = "unreadable";
            if (const auto pem = ReadFile(file.path())) {
                why.clear();
                if (auto credential = ReadCredential(*pem, thumbprint, why)) {
                    state.store[store + "/" + thumbprint] = std::move(credential);
                    continue;
                }
            }
            Log("store file " + file.path().string() + " is not usable: " + why);
        }
    }
}

std::shared_ptr<const State> LoadState(const fs::path& home, const Sources& sources,
                                       std::string& error) {
    auto state = std::make_shared<State>();
    if (!sources.applicationHost) {
        error = "cannot read " + (home / "applicationHost.config").string();
        return nullptr;
    }
    if (!ReadSites(*sources.applicationHost, state->sites, error))
        return nullptr;
    if (sources.sslBindings && !ReadTlsBindings(*sources.sslBindings, state->tls, error))
        return nullptr;
    ReadStore(home, *state);
    for (const auto& [endpoint, binding] : state->tls) {
        if (!state->store.count(binding.store + "/" + binding.certHash))
            Log("TLS binding " + endpoint + ": no usable certificate " + binding.store + "/" +
                binding.certHash);
    }
    return state;
}

// The current state, swapped whole so that a request or handshake sees one.
class CurrentState {
public:
    std::shared_ptr<const State> Get() const {
        std::lock_guard lock(mutex_);
        return state_;
    }
    void Set(std::shared_ptr<const State> state) {
        std::lock_guard lock(mutex_);
        state_ = std::move(state);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const State> state_;
};

CurrentState g_current;

// ---- Serving ----------------------------------------------------------------

// The local address and port of a connected socket.
bool LocalAddress(int fd, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    char text[INET6_ADDRSTRLEN];
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    } else {
        return false;
    }
    ip = text;
    return true;
}

// HTTP.sys's order: the SNI name's binding, the exact address's, the
// wildcard of the connection's family.
int ChooseCertificate(SSL* ssl, void*) {
    std::string ip;
    int port = 0;
    if (!LocalAddress(SSL_get_fd(ssl), ip, port))
        return 0;
    const auto state = g_current.Get();
    const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    std::vector<std::string> candidates;
    if (sni && *sni)
        candidates.push_back(Lower(sni) + ":" + std::to_string(port));
    candidates.push_back(Endpoint(ip, port));
    candidates.push_back(Endpoint(IsIpv6(ip) ? "::" : "0.0.0.0", port));
    for (const auto& candidate : candidates) {
        const auto binding = state->tls.find(candidate);
        if (binding == state->tls.end())
            continue;
        const auto found =
            state->store.find(binding->second.store + "/" + binding->second.certHash);
        if (found == state->store.end()) {
            Log("handshake on " + Endpoint(ip, port) + ": the binding " + candidate +
                " has no usable certificate");
            return 0;
        }
        const Credential& credential = *found->second;
        if (SSL_use_certificate(ssl, credential.certificate.get()) != 1 ||
            SSL_use_PrivateKey(ssl, credential.key.get()) != 1 || SSL_clear_chain_certs(ssl) != 1)
            return 0;
        for (const auto& certificate : credential.chain) {
            if (SSL_add1_chain_cert(ssl, certificate.get()) != 1)
                return 0;
        }
        return 1;
    }
    Log("handshake on " + Endpoint(ip, port) + " (SNI \"" + (sni ? sni : "") +
        "\"): no TLS binding");
    return 0;
}

// The site a request goes to: a binding of its protocol and local port,
// on a wildcard or its local address; a host name match before a host-less
// binding, a specific address before the wildcard.
const Site* RouteRequest(const State& state, const std::string& protocol, const std::string& ip,
                         int port, const std::string& host) {
    const Site* chosen = nullptr;
    int best = -1;
    for (const Site& site : state.sites) {
        for (const SiteBinding& binding : site.bindings) {
            if (binding.protocol != protocol || binding.port != port ||
                (binding.ip != "*" && binding.ip != ip))
                continue;
            if (!binding.host.empty() && binding.host != host)
                continue;
            const int score = (binding.host.empty() ? 0 : 2) + (binding.ip == "*" ? 0 : 1);
            if (score > best) {
                best = score;
                chosen = &site;
            }
        }
    }
    return chosen;
}

std::string HostWithoutPort(std::string host) {
    if (!host.empty() && host[0] == '[') {
        const auto close = host.find(']');
        return Lower(close == std::string::npos ? host : host.substr(1, close - 1));
    }
    if (const auto colon = host.find(':'); colon != std::string::npos)
        host.erase(colon);
    return Lower(host);
}

std::string ContentType(const fs::path& file) {
    const std::string extension = Lower(file.extension().string());
    if (extension == ".htm" || extension == ".html")
        return "text/html";
    if (extension == ".txt")
        return "text/plain";
    return "application/octet-stream";
}

void ServeFile(const State& state, const std::string& protocol, const httplib::Request& request,
               httplib::Response& response) {
    const std::string ip = CanonicalIp(request.local_addr).value_or(request.local_addr);
    const std::string host = HostWithoutPort(request.get_header_value("Host"));
    const Site* site = RouteRequest(state, protocol, ip, request.local_port, host);
    if (!site) {
        response.status = 404;
        response.set_content("Not Found - no site is bound to this host name\n", "text/plain");
        return;
    }
    const std::string& path = request.path;
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
        path.find('\\') != std::string::npos ||
        ("/" + path + "/").find("/../") != std::string::npos) {
        response.status = 400;
        response.set_content("Bad Request\n", "text/plain");
        return;
    }
    fs::path file = fs::path(site->root) / fs::path(path.substr(1));
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        const fs::path folder = file;
        file.clear();
        for (const char* name :
             {"Default.htm", "Default.asp", "index.htm", "index.html", "iisstart.htm"}) {
            if (fs::is_regular_file(folder / name, ec)) {
                file = folder / name;
                break;
            }
        }
        if (file.empty()) {
            response.status = 403;
            response.set_content("Forbidden - no default document\n", "text/plain");
            return;
        }
    }
    const auto body = fs::is_regular_file(file, ec) ? ReadFile(file) : std::nullopt;
    if (!body) {
        response.status = 404;
        response.set_content("Not Found\n", "text/plain");
        return;
    }
    response.set_content(*body, ContentType(file));
}

// ---- Listeners --------------------------------------------------------------

struct ListenerKey {
    std::string ip;  // canonical, "0.0.0.0" or "::" for the wildcard
    int port = 0;
    auto operator<=>(const ListenerKey&) const = default;
};

struct ListenerPlan {
    std::string protocol;
    bool sharedPort = false;  // a wildcard and a specific address of one family share the port
    bool operator==(const ListenerPlan&) const = default;
};

std::map<ListenerKey, ListenerPlan> PlanListeners(const State& state) {
    std::map<ListenerKey, ListenerPlan> plan;
    for (const Site& site : state.sites) {
        for (const SiteBinding& binding : site.bindings) {
            std::vector<std::string> ips{binding.ip};
            if (binding.ip == "*")
                ips = {"0.0.0.0", "::"};
            for (const std::string& ip : ips) {
                const ListenerKey key{ip, binding.port};
                const auto [it, added] = plan.emplace(key, ListenerPlan{binding.protocol});
                if (!added && it->second.protocol != binding.protocol)
                    Log("site \"" + site.name + "\": " + Endpoint(ip, binding.port) +
                        " is both http and https; it serves http only");
                if (binding.protocol == "http")
                    it->second.protocol = "http";
            }
        }
    }
    for (auto& [key, entry] : plan) {
        const bool wildcard = key.ip == "0.0.0.0" || key.ip == "::";
        for (const auto& [other, unused] : plan) {
            const bool otherWildcard = other.ip == "0.0.0.0" || other.ip == "::";
            if (other.port == key.port && IsIpv6(other.ip) == IsIpv6(key.ip) &&
                wildcard != otherWildcard)
                entry.sharedPort = true;
        }
    }
    return plan;
}

// A listening socket of our own: httplib turns IPV6_V6ONLY off after its
// option hook and listens with a backlog of 5, but "::" must leave IPv4 to
// its own "0.0.0.0" listener as HTTP.sys does, and bursts of test clients
// need a longer queue. SO_REUSEPORT only where a wildcard and a specific
// address share a port, which Linux refuses otherwise.
int ListeningSocket(const ListenerKey& key, bool sharedPort) {
    sockaddr_storage address{};
    socklen_t length = 0;
    const bool v6 = IsIpv6(key.ip);
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(key.port));
        inet_pton(AF_INET6, key.ip.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(key.port));
        inet_pton(AF_INET, key.ip.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (sharedPort)
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    if (v6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A server that listens on a socket it is given instead of one it binds.
template <class Base>
class AdoptingServer : public Base {
public:
    using Base::Base;
    void Adopt(int fd) { this->svr_sock_ = fd; }
};

struct Listener {
    ListenerPlan plan;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
};

std::unique_ptr<httplib::Server> MakeServer(const std::string& protocol, int fd) {
    if (protocol == "http") {
        auto server = std::make_unique<AdoptingServer<httplib::Server>>();
        server->Adopt(fd);
        return server;
    }
    auto server = std::make_unique<AdoptingServer<httplib::SSLServer>>([](SSL_CTX& context) {
        SSL_CTX_set_cert_cb(&context, ChooseCertificate, nullptr);
        return true;
    });
    server->Adopt(fd);
    return server;
}

class Listeners {
public:
    ~Listeners() { StopAll(); }

    void Apply(const std::map<ListenerKey, ListenerPlan>& plan) {
        for (auto it = running_.begin(); it != running_.end();) {
            const auto wanted = plan.find(it->first);
            if (wanted != plan.end() && wanted->second == it->second.plan) {
                ++it;
                continue;
            }
            Stop(it->first, it->second);
            it = running_.erase(it);
        }
        for (const auto& [key, entry] : plan) {
            if (!running_.count(key))
                Start(key, entry);
        }
    }

    void StopAll() {
        for (auto& [key, listener] : running_)
            Stop(key, listener);
        running_.clear();
    }

private:
    void Start(const ListenerKey& key, const ListenerPlan& plan) {
        const std::string protocol = plan.protocol;
        const std::string name = protocol + " " + Endpoint(key.ip, key.port);
        const int fd = ListeningSocket(key, plan.sharedPort);
        if (fd < 0) {
            Log("cannot listen on " + name + ": " + std::strerror(errno));
            return;
        }
        Listener listener{plan, MakeServer(protocol, fd), {}};
        httplib::Server& server = *listener.server;
        server.new_task_queue = [] { return new httplib::ThreadPool(4); };
        server.Get(".*", [protocol](const httplib::Request& request, httplib::Response& response) {
            ServeFile(*g_current.Get(), protocol, request, response);
        });
        if (!server.is_valid()) {
            Log("cannot set up TLS for " + name);
            close(fd);
            return;
        }
        listener.thread = std::thread([&server] { server.listen_after_bind(); });
        // stop() does nothing to a server that does not run yet.
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Log("listening on " + name);
        running_.emplace(key, std::move(listener));
    }

    static void Stop(const ListenerKey& key, Listener& listener) {
        listener.server->stop();
        listener.thread.join();
        Log("stopped listening on " + listener.plan.protocol + " " + Endpoint(key.ip, key.port));
    }

    std::map<ListenerKey, Listener> running_;
};

void LogLoaded(const State& state) {
    Log("loaded " + std::to_string(state.sites.size()) + " started site(s), " +
        std::to_string(state.tls.size()) + " TLS binding(s), " +
        std::to_string(state.store.size()) + " usable certificate(s)");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quillmate-standin-iis IIS_HOME\n");
        return 2;
    }
    const fs::path home = argv[1];
    const fs::path pidFile = home / "w3svc.pid";

    // Signals are taken by the main loop only; the listener threads inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGHUP, SIGTERM, SIGINT})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Sources loaded = ReadSources(home);
    std::string error;
    auto state = LoadState(home, loaded, error);
    if (!state) {
        Log(error);
        return 1;
    }
    g_current.Set(state);
    LogLoaded(*state);
    Listeners listeners;
    listeners.Apply(PlanListeners(*state));
    { std::ofstream(pidFile) << getpid() << "\n"; }
    Log("running as process " + std::to_string(getpid()));

    const timespec interval{0, 200 * 1000 * 1000};
    for (;;) {
        const int received = sigtimedwait(&signals, nullptr, &interval);
        if (received == SIGTERM || received == SIGINT)
            break;
        const bool restart = received == SIGHUP;
        Sources now = ReadSources(home);
        if (!restart && now == loaded)
            continue;
        loaded = std::move(now);
        if (auto fresh = LoadState(home, loaded, error)) {
            g_current.Set(fresh);
            LogLoaded(*fresh);
        } else {
            Log(error + "; keeping the previous state");
        }
        if (restart)
            listeners.StopAll();
        listeners.Apply(PlanListeners(*g_current.Get()));
        if (restart)
            Log("restarted");
    }
    listeners.StopAll();
    std::error_code ec;
    fs::remove(pidFile, ec);
    Log("stopped");
    return 0;
}
