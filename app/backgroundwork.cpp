#include "app/backgroundwork.h"

#include <string>
#include <vector>

#include "app/updatecomm.h"
#include "app/usagestats.h"
#include "foundation/hostfacts.h"

namespace qm {

namespace {

void CheckVersion(const MakerService& service, CGuiWnd& window) {
    UpdateDescription found;
    UpdateComm::GetVerInfo(service.UpdateDescriptionUrl(), kUpdateProgramName,
                           window.Text("XmlDespName"), service.caFile, found);
    CGuiWnd::FoundVersion version;
    version.currentVersion = GetFileVersion(GetProgramPath());
    version.newVersion = found.version;
    version.description = found.description;
    version.newVersionKnown = CompareVersions(found.version, version.currentVersion) > 0;
    window.SetFoundVersion(std::move(version));
}

void ReportStart(const MakerService& service) {
    if (StatisticsEnabled())
        UsageStats(service.FeedbackUrl(), service.caFile).SendStartReport();
}

void ReportClicks(const MakerService& service, CGuiWnd& window) {
    const std::vector<std::string> counters = {"applyCert", "buyLink", "otherLink"};
    for (;;) {
        for (const std::string& counter : counters) {
            const int count = window.ClickCount(counter);
            // Clicks made while statistics are off are not kept for later.
            if (count > 0 && !StatisticsEnabled()) {
                window.ForgetReportedClicks(counter, count);
            } else if (count > 0 && UsageStats(service.FeedbackUrl(), service.caFile)
                                        .SendActionReport(count, counter)) {
                window.ForgetReportedClicks(counter, count);
            }
            if (!window.WaitUnlessClosing(kClickReportPauseMs))
                return;
        }
        if (!window.WaitUnlessClosing(kClickReportPauseMs))
            return;
    }
}

}  // namespace

CGuiWnd::BackgroundServices MakerBackgroundServices(const MakerService& service) {
    CGuiWnd::BackgroundServices services;
    services.checkVersion = [service](CGuiWnd& window) { CheckVersion(service, window); };
    services.reportStart = [service](CGuiWnd&) { ReportStart(service); };
    services.reportClicks = [service](CGuiWnd& window) { ReportClicks(service, window); };
    return services;
}

}  // namespace qm
