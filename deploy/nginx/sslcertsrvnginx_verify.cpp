// Sites that answer every HTTP request with a redirect to HTTPS cannot
// serve the verification file the certificate center (or the http-01
// challenge an ACME CA) fetches over HTTP.
// For the time of the verification each such block gets, as its first
// line, the smallest rule that lets that one path through: a server-level
// rewrite with "break" ends the rewrite directives before the redirect,
// which a location could not do.
#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "deploy/faultpoints.h"
#include "deploy/nginx/sslcertsrvnginx.h"
#include "deploy/wirecheck.h"
#include "foundation/operation.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// The indentation of a block's first directive, for a line put before it.
std::u16string IndentOf(std::u16string_view text, const NginxDirective& server) {
    if (server.children.empty())
        return u"\t";
    size_t start = server.children.front().start();
    size_t lineStart = start;
    while (lineStart > 0 && (text[lineStart - 1] == u' ' || text[lineStart - 1] == u'\t'))
        --lineStart;
    if (lineStart > 0 && text[lineStart - 1] != u'\n')
        return u"\t";
    return std::u16string(text.substr(lineStart, start - lineStart));
}

}  // namespace

void SslCertSrvNginx::OpenVerificationPath() {
    RunOperation("SslCertSrvNginx::OpenVerificationPath", [&] {
        verificationPassFiles_.clear();
        if (!configLoaded_)
            return;
        // The names the center fetches over HTTP.
        std::set<std::u16string> names;
        auto fetchedOverHttp = [&](const SiteInfo& s) {
            if (!s.isHttps && s.sitePort == httpPort_)
                names.insert(s.siteAddr);
        };
        for (const SiteInfo& site : selectedSites_) {
            fetchedOverHttp(site);
            SiteInfo related;
            if (FindRelatedSite(site, related))
                fetchedOverHttp(related);
        }
        RefreshServerNodes();
        // file -> (position after the block's "{", the indentation of its lines)
        std::map<size_t, std::vector<std::pair<size_t, std::u16string>>> openings;
        std::vector<WireTarget> probes;
        for (const std::u16string& name : names) {
            for (size_t i : NodesNamed(name)) {
                const SiteNode& node = siteNodes_[i];
                const NginxDirective& server = *serverOf_[i]->directive;
                if (node.site.isHttps || node.site.sitePort != httpPort_ ||
                    server.terminator == NginxDirective::npos || !factsOf_[i].redirectsToHttps) {
                    continue;
                }
                auto& at = openings[node.file];
                const size_t position = server.terminator + 1;
                if (std::none_of(at.begin(), at.end(),
                                 [&](const auto& o) { return o.first == position; })) {
                    at.emplace_back(position, IndentOf(config_.File(node.file).text, server));
                }
                const bool specific = !node.site.siteIP.empty() && node.site.siteIP != u"localhost";
                probes.push_back({name, specific ? node.site.siteIP : u"127.0.0.1", httpPort_});
            }
        }
        if (openings.empty())
            return;
        const std::u16string_view passRule = acme_.enabled ? kAcmeChallengePass : kVerificationPass;
        const char* const probePath =
            acme_.enabled ? "/.well-known/acme-challenge/probe" : "/auth/auth.txt";

        for (auto& [file, positions] : openings) {
            const NginxConfFile& conf = config_.File(file);
            std::u16string text = conf.text;
            std::sort(positions.rbegin(), positions.rend());
            for (const auto& [at, indent] : positions) {
                text.insert(
                    at, WithLineEnds(u"\n" + indent + std::u16string(passRule), LineEndOf(text)));
            }
            RecordFileChange(conf.path);
            if (!WriteTextFile(text, conf.path)) {
                AddUserNote(u"The nginx configuration file " + conf.path +
                            u" cannot be written (read-only, immutable, or the disk is full?).");
                ThrowResult(result::kConfigWriteFailed);
            }
            LogInfo(u"verification path opened in %s", conf.path);
            verificationPassFiles_.push_back(file);
        }
        std::string output;
        if (!TestConfiguration(output)) {
            NoteServerMessages(output);
            ThrowResult(result::kConfigTestFailed);
        }
        NoteServerTouched();
        if (restartInsteadOfReload_ || !Reload())
            RestartAndWait();
        // Until nginx answers the path without a redirect, a fetch would fail.
        using namespace std::chrono;
        const auto until = steady_clock::now() + milliseconds(kRestartWaitMs);
        for (const WireTarget& probe : probes) {
            for (;;) {
                std::string problem;
                const long status = HttpStatusAt(probe, probePath, 2000, problem);
                if (status != 0 && (status < 300 || status >= 400))
                    break;
                if (steady_clock::now() >= until) {
                    LogWarn(u"%s still redirects %s", probe.host, WideFromUtf8(probePath));
                    break;
                }
                std::this_thread::sleep_for(milliseconds(50));
            }
        }
        FaultPoint(u"verification-ready");
    });
}

void SslCertSrvNginx::CloseVerificationPath() {
    RunOperation("SslCertSrvNginx::CloseVerificationPath", [&] {
        // The files go back to the texts in memory, which never held the
        // rule; the running nginx drops it when the deployment is applied.
        for (size_t file : verificationPassFiles_) {
            const NginxConfFile& conf = config_.File(file);
            if (!WriteTextFile(conf.text, conf.path)) {
                AddUserNote(u"The nginx configuration file " + conf.path +
                            u" cannot be written back.");
                ThrowResult(result::kConfigWriteFailed);
            }
            LogInfo(u"verification path closed in %s", conf.path);
        }
        verificationPassFiles_.clear();
    });
}

}  // namespace qm
