#include "app/vantrel.h"

#include <chrono>
#include <ctime>
#include <ostream>

#include "app/renewal.h"
#include "app/renewalservice.h"
#include "app/settingsfile.h"
#include "foundation/host/host.h"
#include "foundation/host/process_host.h"
#include "foundation/hostfacts.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

constexpr int kExitRenewalFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNothingDeployed = 8;

struct Parsed {
    bool force = false;
    bool dryRun = false;
    RenewalPolicy policy;
    double intervalSeconds = 12 * 3600;
    double retrySeconds = 60;
    double pollSeconds = 15;
};

bool ParseSeconds(const std::string& text, double& value) {
    try {
        size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size() && value > 0;
    } catch (const std::exception&) {
        return false;
    }
}

bool Parse(const std::vector<std::string>& args, Parsed& parsed, std::ostream& err) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](double& target) {
            if (i + 1 >= args.size() || !ParseSeconds(args[i + 1], target)) {
                err << "vantrel: " << a << " needs a positive number of seconds\n";
                return false;
            }
            ++i;
            return true;
        };
        if (a == "--force") {
            parsed.force = true;
        } else if (a == "--dry-run") {
            parsed.dryRun = true;
        } else if (a == "--renew-at") {
            if (i + 1 >= args.size() || !ParseRenewalPolicy(args[i + 1], parsed.policy)) {
                err << "vantrel: --renew-at takes a share (\"1/3\", \"0.25\") or days (\"30d\")\n";
                return false;
            }
            ++i;
        } else if (a == "--interval") {
            if (!value(parsed.intervalSeconds))
                return false;
        } else if (a == "--retry") {
            if (!value(parsed.retrySeconds))
                return false;
        } else if (a == "--poll") {
            if (!value(parsed.pollSeconds))
                return false;
        } else {
            err << "vantrel: unknown option " << a << "\n";
            return false;
        }
    }
    return true;
}

RenewalOptions RenewalOptionsOf(const Parsed& parsed) {
    RenewalOptions options;
    options.force = parsed.force;
    options.dryRun = parsed.dryRun;
    options.policy = parsed.policy;
    options.deferPollMs = static_cast<int32_t>(parsed.pollSeconds * 1000);
    return options;
}

int Renew(const Parsed& parsed, std::ostream& out, std::ostream& err) {
    const RenewalPass pass = RenewIfDue(RenewalOptionsOf(parsed));
    out << OutcomeName(pass.outcome);
    if (!pass.detail.empty())
        out << ": " << Utf8FromWide(pass.detail);
    out << "\n";
    if (pass.notAfter > 0)
        out << "certificate valid until " << UtcTimeText(pass.notAfter) << "\n";
    switch (pass.outcome) {
        case RenewalPass::Outcome::NothingDeployed:
            return kExitNothingDeployed;
        case RenewalPass::Outcome::Failed:
            err << "vantrel: the renewal failed; the previous certificate is served (see "
                << Utf8FromWide(CurrentLogFilePath()) << ")\n";
            return kExitRenewalFailed;
        default:
            return 0;
    }
}

int Status(std::ostream& out) {
    RenewalOptions options;
    options.dryRun = true;
    const RenewalPass pass = RenewIfDue(options);
    out << "Deployment settings: " << Utf8FromWide(DeploymentSettingsPath()) << "\n";
    out << "Certificate:         " << OutcomeName(pass.outcome);
    if (pass.notAfter > 0)
        out << ", valid until " << UtcTimeText(pass.notAfter);
    out << "\n";
    out << "Service \"tarnix\":     " << RenewalServiceStateText() << "\n";
    return pass.outcome == RenewalPass::Outcome::NothingDeployed ? kExitNothingDeployed : 0;
}

int Register(std::ostream& out, std::ostream& err) {
    host::ServiceDefinition service;
    service.name = std::u16string(kRenewalServiceName);
    service.description = u"Quillmate certificate renewal";
    service.program = GetProgramDirectory() + std::u16string(kRenewalProgramFile);
    service.arguments = {u"run"};
    service.workingDirectory = ServiceDirectory();
    for (const char16_t* name : {u"VANTREL_HOME", u"QUILLMATE_HOME"}) {
        if (const auto value = host::ProcessEnvironmentValue(name); value && !value->empty())
            service.environment.push_back(std::u16string(name) + u"=" + *value);
    }
    try {
        host::RegisterService(service);
    } catch (const std::exception& e) {
        err << "vantrel: " << Utf8FromWide(ResultTextOf(e)) << "\n";
        return kExitRenewalFailed;
    }
    out << "the renewal service \"tarnix\" is registered and running\n";
    return 0;
}

int Unregister(std::ostream& out, std::ostream& err) {
    try {
        host::UnregisterService(kRenewalServiceName);
    } catch (const std::exception& e) {
        err << "vantrel: " << Utf8FromWide(ResultTextOf(e)) << "\n";
        return kExitRenewalFailed;
    }
    out << "the renewal service \"tarnix\" is removed\n";
    return 0;
}

}  // namespace

int RunVantrel(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kVantrelUsage;
        return args.empty() ? kExitUsage : 0;
    }
    const std::string& command = args[0];
    if (command == "/Service" || command == "service")
        return Register(out, err);
    if (command == "/Unregister" || command == "unregister")
        return Unregister(out, err);
    Parsed parsed;
    if (command != "run" && command != "renew" && command != "status") {
        err << "vantrel: unknown command " << command << "\n" << kVantrelUsage;
        return kExitUsage;
    }
    if (!Parse(args, parsed, err))
        return kExitUsage;
    if (command == "status")
        return Status(out);
    if (command == "renew")
        return Renew(parsed, out, err);
    ServiceLoopOptions loop;
    loop.renewal = RenewalOptionsOf(parsed);
    loop.checkIntervalMs = static_cast<int64_t>(parsed.intervalSeconds * 1000);
    loop.firstRetryMs = static_cast<int64_t>(parsed.retrySeconds * 1000);
    // Started by the service manager (Windows): the loop runs as the service
    // and a stop request ends it; otherwise it runs as started.
    int code = 0;
    if (host::RunAsService(
            kRenewalServiceName, [&] { return RunRenewalLoop(loop); }, code))
        return code;
    return RunRenewalLoop(loop);
}

}  // namespace qm
