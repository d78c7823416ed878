#include "app/makerservice.h"

#include <exception>

#include "app/settingsfile.h"
#include "foundation/hostfacts.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

bool SaysOff(std::u16string value) {
    for (char16_t& c : value) {
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return value == u"off" || value == u"0" || value == u"false" || value == u"no";
}

}  // namespace

std::u16string MakerService::UpdateDescriptionUrl() const {
    return baseUrl + u"/download/Quillmate.update.xml.txt";
}

std::u16string MakerService::UpdateArchiveUrl() const {
    return baseUrl + u"/download/Quillmate.zip";
}

std::u16string MakerService::FeedbackUrl() const {
    return baseUrl + u"/ReceiveFeedbackServer";
}

MakerService ResolveMakerService() {
    MakerService service;
    service.baseUrl = EnvironmentValueOrEmpty(kServicesUrlVariable);
    if (service.baseUrl.empty())
        service.baseUrl = std::u16string(kDefaultServicesUrl);
    while (!service.baseUrl.empty() && service.baseUrl.back() == u'/')
        service.baseUrl.pop_back();
    service.caFile = EnvironmentValueOrEmpty(kServicesCaFileVariable);
    return service;
}

bool StatisticsEnabled() {
    if (SaysOff(EnvironmentValueOrEmpty(kStatisticsVariable)))
        return false;
    return ReadStatisticsSetting(DeploymentSettingsPath());
}

}  // namespace qm
