#include "tests/support/e2e/upstream_apache.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <utility>

#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/server_process.h"

namespace qm::e2e {
namespace {

namespace fs = std::filesystem;
using layout::MakeFolder;
using layout::PathBelow;

// The modules an upstream httpd.conf loads for a plain site, in its order.
// Those Debian compiles in (log_config, unixd, version) have no file in
// modules/ and get no line.
const char* const kLoadedModules[] = {
    "mpm_event",     "authn_file", "authn_core", "authz_host", "authz_user", "authz_core",
    "access_compat", "auth_basic", "reqtimeout", "filter",     "mime",       "log_config",
    "env",           "headers",    "setenvif",   "version",    "unixd",      "status",
    "autoindex",     "dir",        "alias"};

std::string ModuleLine(const std::string& name) {
    return "LoadModule " + name + "_module modules/mod_" + name + ".so\n";
}

bool HasModuleFile(const std::string& name) {
    return access((std::string(kInstalledApacheModules) + "/mod_" + name + ".so").c_str(), R_OK) ==
           0;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

std::string ApacheUnavailableReason() {
    if (access(kInstalledApache, X_OK) != 0 || access(kInstalledApacheModules, R_OK) != 0) {
        return std::string("Apache httpd is not installed (") + kInstalledApache + ", " +
               kInstalledApacheModules + "; Debian package apache2)";
    }
    return {};
}

namespace apache_harness {

int ParentOfPidFile(const std::string& pidFile, const std::string& executable,
                    bool ownMountNamespace) {
    const int pid = ProcessOfPidFile(pidFile, executable, ownMountNamespace);
    if (!pid)
        return 0;
    // A child never writes the pid file; a stale file may name one of a
    // later run by now.
    return ExecutableOf(ParentProcess(pid)) == executable ? 0 : pid;
}

void WaitToServe(const std::vector<int>& ports, int timeoutMs, const std::string& output,
                 const std::function<int()>& parentPid,
                 const std::function<std::string()>& errorLog) {
    qm::e2e::WaitToServe("httpd", ports, timeoutMs, output, parentPid, errorLog,
                         "its pid file names no parent");
}

size_t ResumedCount(const std::string& errorLog) {
    return CountOf(errorLog, "resuming normal operations");
}

void WaitForGracefulRestart(size_t resumedBefore, const std::vector<int>& childrenBefore,
                            int timeoutMs, const std::function<int()>& parentPid,
                            const std::function<std::string()>& errorLog) {
    WaitForNewChild(
        childrenBefore, timeoutMs, parentPid,
        [&] { return ResumedCount(errorLog()) > resumedBefore; },
        "httpd started no new child after a graceful restart", errorLog);
}

}  // namespace apache_harness

UpstreamApache::UpstreamApache() : UpstreamApache(Options{}) {}

UpstreamApache::UpstreamApache(Options options) : options_(std::move(options)) {
    const std::string whyNot = ApacheUnavailableReason();
    if (!whyNot.empty())
        throw std::runtime_error(whyNot);
    try {
        LayOut();
    } catch (...) {
        TearDown();
        throw;
    }
}

UpstreamApache::~UpstreamApache() {
    TearDown();
}

void UpstreamApache::LayOut() {
    // The children run as www-data when root starts httpd: they must reach
    // htdocs inside the folder (readable by all).
    folder_.Create("upstream-apache");
    for (const char* sub : {"bin", "conf", "conf/extra", "htdocs", "logs"})
        MakeFolder(root() + sub, 0755);

    // A copy, not a link: the process shows ROOT/bin/httpd as its executable.
    std::error_code ec;
    fs::copy_file(kInstalledApache, executable(), fs::copy_options::overwrite_existing, ec);
    if (!ec)
        fs::permissions(executable(),
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec,
                        ec);
    if (ec)
        throw std::runtime_error("cannot place httpd at " + executable() + ": " + ec.message());
    canonicalExecutable_ = fs::canonical(executable()).string();
    folder_.Guard(canonicalExecutable_, false);

    fs::create_directory_symlink(kInstalledApacheModules, root() + "modules", ec);
    if (ec)
        throw std::runtime_error("cannot link " + root() + "modules: " + ec.message());

    httpPort_ = options_.httpPort ? options_.httpPort : FreeLoopbackPort();
    httpsPort_ = options_.httpsPort ? options_.httpsPort : FreeLoopbackPort();
    while (httpsPort_ == httpPort_)
        httpsPort_ = FreeLoopbackPort();

    std::string mimeTypes = ReadTextFile("/etc/mime.types");
    if (mimeTypes.empty())
        mimeTypes = "text/html\t\t\t\t\thtml htm\ntext/plain\t\t\t\t\ttxt\n";
    WriteFile("conf/mime.types", mimeTypes);
    WriteFile("htdocs/index.html", "<html><body><h1>It works!</h1></body></html>\n");
    WriteFile("conf/extra/httpd-ssl.conf", HttpdSslConf());
    WriteFile("conf/extra/httpd-vhosts.conf",
              options_.vhosts.empty() ? "#\n"
                                        "# Virtual Hosts\n"
                                        "#\n"
                                        "# Use name-based virtual hosting.\n"
                                        "#\n"
                                        "# Please see the documentation at\n"
                                        "# <URL:http://httpd.apache.org/docs/2.4/vhosts/>\n"
                                        "# for further details before you try to setup virtual "
                                        "hosts.\n"
                                        "#\n"
                                      : options_.vhosts);
    WriteFile("conf/httpd.conf", HttpdConf());
}

void UpstreamApache::TearDown() noexcept {
    if (!folder_.empty()) {
        try {
            Stop();
        } catch (...) {
            // The guard kills what is left.
        }
    }
    // The links themselves go (modules/), never what they point to.
    folder_.Remove();
}

std::string UpstreamApache::serverRoot() const {
    return root().substr(0, root().size() - 1);
}

std::string UpstreamApache::executable() const {
    return root() + "bin/httpd";
}

std::string UpstreamApache::confPath() const {
    return root() + "conf/httpd.conf";
}

std::string UpstreamApache::htdocsDir() const {
    return root() + "htdocs/";
}

std::string UpstreamApache::logsDir() const {
    return root() + "logs/";
}

std::string UpstreamApache::pidFile() const {
    return root() + "logs/httpd.pid";
}

std::vector<std::string> UpstreamApache::CommandLine() const {
    std::vector<std::string> argv{executable(), "-d", serverRoot(), "-f", confPath()};
    for (const std::string& name : options_.defines) {
        argv.push_back("-D");
        argv.push_back(name);
    }
    return argv;
}

std::string UpstreamApache::HttpdConf() const {
    const std::string root = serverRoot();
    std::string listen = options_.listenAddress;
    if (listen.empty() && !options_.httpPort)
        listen = "127.0.0.1";
    const std::string listenPrefix = listen.empty() ? "" : listen + ":";

    std::string text =
        "#\n"
        "# This is the main Apache HTTP server configuration file.  It contains the\n"
        "# configuration directives that give the server its instructions.\n"
        "# See <URL:http://httpd.apache.org/docs/2.4/> for detailed information.\n"
        "#\n"
        "# Do NOT simply read the instructions in here without understanding\n"
        "# what they do.  They're here only as hints or reminders.  If you are unsure\n"
        "# consult the online docs. You have been warned.\n"
        "#\n"
        "\n"
        "#\n"
        "# ServerRoot: The top of the directory tree under which the server's\n"
        "# configuration, error, and log files are kept.\n"
        "#\n"
        "ServerRoot \"" +
        root +
        "\"\n"
        "\n"
        "#\n"
        "# Listen: Allows you to bind Apache to given IP addresses and/or\n"
        "# ports, instead of the default. See also the <VirtualHost>\n"
        "# directive.\n"
        "#\n"
        "#Listen 12.34.56.78:80\n"
        "Listen " +
        listenPrefix + std::to_string(httpPort_) +
        "\n"
        "\n"
        "#\n"
        "# Dynamic Shared Object (DSO) Support\n"
        "#\n"
        "# To be able to use the functionality of a module which was built as a DSO you\n"
        "# have to place corresponding `LoadModule' lines at this location so the\n"
        "# directives contained in it are actually available _before_ they are used.\n"
        "#\n";
    for (const char* name : kLoadedModules) {
        if (HasModuleFile(name))
            text += ModuleLine(name);
    }
    text += "#LoadModule rewrite_module modules/mod_rewrite.so\n";
    const std::string comment = options_.loadSsl ? "" : "#";
    text += comment + ModuleLine("socache_shmcb");
    text += comment + ModuleLine("ssl");
    text += "\n";
    if (geteuid() == 0) {
        text +=
            "<IfModule unixd_module>\n"
            "#\n"
            "# If you wish httpd to run as a different user or group, you must run\n"
            "# httpd as root initially and it will switch.\n"
            "#\n"
            "User www-data\n"
            "Group www-data\n"
            "\n"
            "</IfModule>\n"
            "\n";
    }
    text +=
        "#\n"
        "# ServerAdmin: Your address, where problems with the server should be\n"
        "# e-mailed.  This address appears on some server-generated pages, such\n"
        "# as error documents.  e.g. admin@your-domain.com\n"
        "#\n"
        "ServerAdmin you@example.com\n"
        "\n"
        "#\n"
        "# ServerName gives the name and port that the server uses to identify itself.\n"
        "#\n";
    text += options_.serverName.empty() ? "#ServerName www.example.com:80\n"
                                        : "ServerName " + options_.serverName + "\n";
    text +=
        "\n"
        "#\n"
        "# Deny access to the entirety of your server's filesystem. You must\n"
        "# explicitly permit access to web content directories in other\n"
        "# <Directory> blocks below.\n"
        "#\n"
        "<Directory />\n"
        "    AllowOverride none\n"
        "    Require all denied\n"
        "</Directory>\n"
        "\n"
        "#\n"
        "# DocumentRoot: The directory out of which you will serve your\n"
        "# documents.\n"
        "#\n"
        "DocumentRoot \"" +
        root +
        "/htdocs\"\n"
        "<Directory \"" +
        root +
        "/htdocs\">\n"
        "    Options Indexes FollowSymLinks\n"
        "    AllowOverride None\n"
        "    Require all granted\n"
        "</Directory>\n"
        "\n"
        "<IfModule dir_module>\n"
        "    DirectoryIndex index.html\n"
        "</IfModule>\n"
        "\n"
        "<Files \".ht*\">\n"
        "    Require all denied\n"
        "</Files>\n"
        "\n"
        "PidFile \"logs/httpd.pid\"\n"
        "ErrorLog \"logs/error_log\"\n"
        "LogLevel warn\n"
        "\n"
        "<IfModule log_config_module>\n"
        "    LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" "
        "\\\"%{User-Agent}i\\\"\" combined\n"
        "    LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b\" common\n"
        "    CustomLog \"logs/access_log\" common\n"
        "</IfModule>\n"
        "\n"
        "<IfModule mime_module>\n"
        "    TypesConfig conf/mime.types\n"
        "    AddType application/x-compress .Z\n"
        "    AddType application/x-gzip .gz .tgz\n"
        "</IfModule>\n"
        "\n"
        "# Supplemental configuration\n"
        "#\n"
        "# The configuration files in the conf/extra/ directory can be\n"
        "# included to add extra features or to modify the default configuration of\n"
        "# the server, or you may simply copy their contents here and change as\n"
        "# necessary.\n"
        "\n"
        "# Virtual hosts\n";
    text += options_.includeVhosts ? "Include conf/extra/httpd-vhosts.conf\n"
                                   : "#Include conf/extra/httpd-vhosts.conf\n";
    text +=
        "\n"
        "# Secure (SSL/TLS) connections\n";
    text += options_.includeSslConf ? "<IfDefine SSL>\n"
                                      "Include conf/extra/httpd-ssl.conf\n"
                                      "</IfDefine>\n"
                                    : "#Include conf/extra/httpd-ssl.conf\n";
    text +=
        "#\n"
        "# Note: The following must must be present to support\n"
        "#       starting without SSL on platforms with no /dev/random equivalent\n"
        "#       but a statically compiled-in mod_ssl.\n"
        "#\n"
        "<IfModule ssl_module>\n"
        "SSLRandomSeed startup builtin\n"
        "SSLRandomSeed connect builtin\n"
        "</IfModule>\n";
    if (!options_.extra.empty()) {
        text += "\n" + options_.extra;
        if (text.back() != '\n')
            text += '\n';
    }
    return text;
}

std::string UpstreamApache::HttpdSslConf() const {
    const std::string root = serverRoot();
    std::string listen = options_.listenAddress;
    if (listen.empty() && !options_.httpsPort)
        listen = "127.0.0.1";
    const std::string port = std::to_string(httpsPort_);
    return "#\n"
           "# This is the Apache server configuration file providing SSL support.\n"
           "# It contains the configuration directives to instruct the server how to\n"
           "# serve pages over an https connection. For detailed information about these\n"
           "# directives see <URL:http://httpd.apache.org/docs/2.4/mod/mod_ssl.html>\n"
           "#\n"
           "\n"
           "#\n"
           "# When we also provide SSL we have to listen to the\n"
           "# standard HTTP port (see above) and to the HTTPS port\n"
           "#\n"
           "Listen " +
           (listen.empty() ? "" : listen + ":") + port +
           "\n"
           "\n"
           "SSLCipherSuite HIGH:MEDIUM:!MD5:!RC4:!3DES\n"
           "SSLProxyCipherSuite HIGH:MEDIUM:!MD5:!RC4:!3DES\n"
           "SSLHonorCipherOrder on\n"
           "SSLProtocol all -SSLv3\n"
           "SSLProxyProtocol all -SSLv3\n"
           "SSLPassPhraseDialog  builtin\n"
           "SSLSessionCache        \"shmcb:" +
           root +
           "/logs/ssl_scache(512000)\"\n"
           "SSLSessionCacheTimeout  300\n"
           "\n"
           "##\n"
           "## SSL Virtual Host Context\n"
           "##\n"
           "\n"
           "<VirtualHost _default_:" +
           port +
           ">\n"
           "\n"
           "#   General setup for the virtual host\n"
           "DocumentRoot \"" +
           root +
           "/htdocs\"\n"
           "ServerName www.example.com:" +
           port +
           "\n"
           "ServerAdmin you@example.com\n"
           "ErrorLog \"" +
           root +
           "/logs/error_log\"\n"
           "TransferLog \"" +
           root +
           "/logs/access_log\"\n"
           "\n"
           "#   SSL Engine Switch:\n"
           "#   Enable/Disable SSL for this virtual host.\n"
           "SSLEngine on\n"
           "\n"
           "SSLCertificateFile \"" +
           root +
           "/conf/server.crt\"\n"
           "SSLCertificateKeyFile \"" +
           root +
           "/conf/server.key\"\n"
           "\n"
           "<FilesMatch \"\\.(cgi|shtml|phtml|php)$\">\n"
           "    SSLOptions +StdEnvVars\n"
           "</FilesMatch>\n"
           "\n"
           "BrowserMatch \"MSIE [2-5]\" \\\n"
           "         nokeepalive ssl-unclean-shutdown \\\n"
           "         downgrade-1.0 force-response-1.0\n"
           "\n"
           "CustomLog \"" +
           root +
           "/logs/ssl_request_log\" \\\n"
           "          \"%t %h %{SSL_PROTOCOL}x %{SSL_CIPHER}x \\\"%r\\\" %b\"\n"
           "</VirtualHost>\n";
}

void UpstreamApache::WriteFile(const std::string& relative, const std::string& text) const {
    const std::string path = PathBelow(root(), relative);
    MakeFolder(fs::path(path).parent_path().string(), 0755);
    WriteTextFile(path, text);
    chmod(path.c_str(), 0644);
}

std::string UpstreamApache::ReadFile(const std::string& relative) const {
    return ReadTextFile(PathBelow(root(), relative));
}

int UpstreamApache::Run(const std::vector<std::string>& args, std::string* output) const {
    // A clean environment and ROOT as the working folder, as an operator's
    // shell in /usr/local/apache2 would leave little else.
    std::vector<std::string> argv{
        "/usr/bin/env", "-i", "-C", serverRoot(),
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
    const std::vector<std::string> command = CommandLine();
    argv.insert(argv.end(), command.begin(), command.end());
    return RunToEnd(std::move(argv), args, output);
}

bool UpstreamApache::TestConfig(std::string* output) const {
    return Run({"-t"}, output) == 0;
}

void UpstreamApache::Start(const std::vector<int>& ports, int timeoutMs) {
    std::string output;
    ThrowUnlessZero(Run({}, &output), "httpd did not start", output, [this] { return ErrorLog(); });
    apache_harness::WaitToServe(
        ports.empty() ? std::vector<int>{httpPort_} : ports, timeoutMs, output,
        [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void UpstreamApache::GracefulRestart(int timeoutMs) {
    const size_t resumed = apache_harness::ResumedCount(ErrorLog());
    const std::vector<int> before = ChildPids();
    std::string output;
    ThrowUnlessZero(Run({"-k", "graceful"}, &output), "httpd -k graceful failed", output,
                    [this] { return ErrorLog(); });
    apache_harness::WaitForGracefulRestart(
        resumed, before, timeoutMs, [this] { return ParentPid(); }, [this] { return ErrorLog(); });
}

void UpstreamApache::Stop(int graceMs) {
    if (canonicalExecutable_.empty())
        return;  // nothing was ever placed, so nothing runs
    if (const int parent = ParentPid())
        kill(parent, SIGTERM);
    EndProcesses([this] { return ProcessIds(); }, graceMs, "httpd processes do not end");
}

int UpstreamApache::ParentPid() const {
    return apache_harness::ParentOfPidFile(pidFile(), canonicalExecutable_, false);
}

std::vector<int> UpstreamApache::ProcessIds() const {
    return ServerProcesses(ParentPid(), canonicalExecutable_, false);
}

std::vector<int> UpstreamApache::ChildPids() const {
    return ChildrenOf(ParentPid());
}

std::string UpstreamApache::ErrorLog() const {
    return ReadTextFile(logsDir() + "error_log");
}

std::string UpstreamApache::AccessLog() const {
    return ReadTextFile(logsDir() + "access_log");
}

}  // namespace qm::e2e
