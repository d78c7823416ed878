// Cost of one whole enrollment against a local certificate center over
// HTTPS: challenge, verification file, authorization, certificate request
// (with the CSR the engine makes in between) and the certificate files.
// Reports the median of 20 runs and the share of RSA key generation, which
// happens twice per enrollment (client key pair, certificate key).
//
// Target: median <= 1 s on the development machine.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "Common/OpenSSL/quorp/quorp.h"
#include "enrollment/certcentercomm.h"
#include "foundation/files.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 20;
constexpr double kTargetMs = 1000;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time of this process (the client side; the center runs apart), which
// a busy machine inflates less than the elapsed time.
double CpuMillisecondsSince(std::clock_t start) {
    return 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One enrollment from a fresh progress record; false (with the reason
// printed) when it does not end with the certificate files.
bool Enroll(const qm::e2e::CertCenterProcess& center, const qm::e2e::StaticFileServer& site,
            const qm::test::TempDir& siteRoot, const qm::test::TempDir& work) {
    const std::vector<qm::DomainVerifyInfo> verify = {
        {false, site.port(), u"localhost",
         qm::WideFromUtf8(site.UrlFor("localhost", "/auth/auth.txt")),
         siteRoot / u"auth/auth.txt"}};
    try {
        qm::CertCenterComm session;
        session.Initialize(qm::WideFromUtf8(center.url()), u"general", u"", true,
                           qm::WideFromUtf8(center.caFile()));
        session.DomainVerify(verify, u"nginx", u"1.22.1");
        qm::quorp crypto;
        std::string csr, key;
        if (!crypto.MakeCsr("localhost", "", csr, key) ||
            !qm::WriteFileAtomic(work / u"csr.txt", csr)) {
            std::fprintf(stderr, "cannot make the certificate request\n");
            return false;
        }
        session.CertRequest(work / u"csr.txt", work / u"sslcert", u"localhost", 1);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "enrollment failed: %s\n", e.what());
        return false;
    }
    return qm::FileExists(work / u"sslcert/localhost.crt") &&
           qm::FileExists(work / u"sslcert/localhost.chain.crt");
}

}  // namespace

int main() {
    qm::test::TempDir home;
    setenv("QUILLMATE_HOME", home.narrow().c_str(), 1);
    qm::test::TempDir siteRoot;
    qm::test::TempDir work;
    std::filesystem::create_directories(siteRoot.narrow() + "auth");
    qm::quorp::PrepareLibrary();

    qm::e2e::CertCenterProcess center;
    qm::e2e::StaticFileServer site(siteRoot.narrow());

    std::vector<double> enrollment;
    std::vector<double> enrollmentCpu;
    for (int i = 0; i <= kRuns; ++i) {
        qm::test::InstallConfigTemplates(home.path());
        std::filesystem::remove_all(work.narrow() + "sslcert");
        const auto start = Clock::now();
        const std::clock_t cpuStart = std::clock();
        if (!Enroll(center, site, siteRoot, work))
            return 1;
        if (i > 0) {  // the first run warms up caches and the center's state
            enrollment.push_back(MillisecondsSince(start));
            enrollmentCpu.push_back(CpuMillisecondsSince(cpuStart));
        }
    }

    // The center's own CPU time, read once it has ended (start-up included).
    center.Stop();
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    const double centerCpuPerRun =
        (1000.0 * static_cast<double>(children.ru_utime.tv_sec + children.ru_stime.tv_sec) +
         static_cast<double>(children.ru_utime.tv_usec + children.ru_stime.tv_usec) / 1000.0) /
        (kRuns + 1);

    std::vector<double> keyGeneration;
    std::vector<double> keyGenerationCpu;
    qm::quorp crypto;
    for (int i = 0; i < 2 * kRuns; ++i) {
        std::string privateKey, publicKey;
        const auto start = Clock::now();
        const std::clock_t cpuStart = std::clock();
        if (!crypto.GenerateKeyPair("plenkovar", privateKey, publicKey))
            return 1;
        keyGeneration.push_back(MillisecondsSince(start));
        keyGenerationCpu.push_back(CpuMillisecondsSince(cpuStart));
    }

    const double median = Median(enrollment);
    const double keyMedian = Median(keyGeneration);
    const double share = 100.0 * 2 * keyMedian / median;
    std::printf(
        "enrollment, challenge to certificate files, %d runs: median %.1f ms (min %.1f, "
        "max %.1f)\n",
        kRuns, median, *std::min_element(enrollment.begin(), enrollment.end()),
        *std::max_element(enrollment.begin(), enrollment.end()));
    std::printf(
        "RSA-2048 key generation, %d keys: median %.1f ms (min %.1f, max %.1f); two per "
        "enrollment: %.0f%% of the median\n",
        2 * kRuns, keyMedian, *std::min_element(keyGeneration.begin(), keyGeneration.end()),
        *std::max_element(keyGeneration.begin(), keyGeneration.end()), share);
    std::printf(
        "client CPU time: enrollment median %.1f ms, key generation median %.1f ms "
        "(two keys: %.0f%%)\n",
        Median(enrollmentCpu), Median(keyGenerationCpu),
        100.0 * 2 * Median(keyGenerationCpu) / Median(enrollmentCpu));
    std::printf(
        "center CPU time per enrollment: %.1f ms; client and center together: %.1f ms "
        "(the least elapsed time, with a CPU to itself)\n",
        centerCpuPerRun, Median(enrollmentCpu) + centerCpuPerRun);
    const bool met = median <= kTargetMs;
    std::printf("target: median <= %.0f ms: %s\n", kTargetMs, met ? "met" : "MISSED");
    return met ? 0 : 1;
}
