// Where the maker's web service is (update description and archive,
// feedback and usage statistics), which extra trust anchor its TLS
// certificate may chain to, and whether usage statistics may be sent.
//
// The address and trust anchor come from the environment
// (QUILLMATE_SERVICES_URL, QUILLMATE_SERVICES_CA) or the built-in default;
// anyone distributing the program can run quillmate-services and point the
// program at it.
#pragma once

#include <string>
#include <string_view>

namespace qm {

inline constexpr std::u16string_view kDefaultServicesUrl = u"https://update.quillmate.dev";
inline constexpr std::u16string_view kServicesUrlVariable = u"QUILLMATE_SERVICES_URL";
inline constexpr std::u16string_view kServicesCaFileVariable = u"QUILLMATE_SERVICES_CA";
// "off", "0", "false" or "no" (any case) turns usage statistics off.
inline constexpr std::u16string_view kStatisticsVariable = u"QUILLMATE_STATISTICS";

// The program name the update description is searched for.
inline constexpr std::u16string_view kUpdateProgramName = u"Quillmate.exe";

struct MakerService {
    std::u16string baseUrl;  // https URL without a path (a trailing "/" is dropped)
    std::u16string caFile;   // PEM file of an extra trust anchor; empty: the system's only

    std::u16string UpdateDescriptionUrl() const;  // base + "/download/Quillmate.update.xml.txt"
    std::u16string UpdateArchiveUrl() const;      // base + "/download/Quillmate.zip"
    std::u16string FeedbackUrl() const;           // base + "/ReceiveFeedbackServer"
};

MakerService ResolveMakerService();

// Whether usage statistics (start and click reports) may be sent: not when
// the environment variable turns them off, nor when the deployment settings
// file says "statistics enabled=0". Feedback is sent only when the operator
// submits it and does not depend on this.
bool StatisticsEnabled();

}  // namespace qm
