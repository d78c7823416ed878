// A whole enrollment as the deployment engine drives it, in a process of its
// own so that a test can kill it while it waits for a deferred certificate
// and start it again. The program directory comes from QUILLMATE_HOME.
//
// Usage: enrollment_e2e_client CENTER_URL CA_FILE DOMAIN VERIFY_URL VERIFY_FILE
//                              CSR_FILE CERT_FOLDER POLL_MS
// Prints "deferred" after every deferral and "result: TEXT" at the end;
// exits 0 once the certificate files are written.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "enrollment/certcentercomm.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr,
                     "usage: %s CENTER_URL CA_FILE DOMAIN VERIFY_URL VERIFY_FILE "
                     "CSR_FILE CERT_FOLDER POLL_MS\n",
                     argv[0]);
        return 2;
    }
    auto wide = [&](int i) { return qm::WideFromUtf8(argv[i]); };
    const int pollMs = std::stoi(argv[8]);
    const std::vector<qm::DomainVerifyInfo> verifyList = {{false, 80, wide(3), wide(4), wide(5)}};

    std::string result = "succeed";
    try {
        qm::CertCenterComm session;
        session.Initialize(wide(1), u"general", u"", true, wide(2));
        session.DomainVerify(verifyList, u"nginx", u"1.22.1");
        bool deferred = false;
        try {
            session.CertRequest(wide(6), wide(7), wide(3), 1);
        } catch (const std::exception& e) {
            if (!qm::IsResult(e, qm::result::kDeferCertState))
                throw;
            deferred = true;
        }
        while (deferred) {
            std::printf("deferred\n");
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
            try {
                session.CertDeferRequest();
                deferred = false;
            } catch (const std::exception& e) {
                if (!qm::IsResult(e, qm::result::kDeferCertState))
                    throw;
            }
        }
    } catch (const std::exception& e) {
        result = e.what();
    }
    std::printf("result: %s\n", result.c_str());
    std::fflush(stdout);
    return result == "succeed" ? 0 : 1;
}
