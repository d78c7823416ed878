#include "app/feedbackcommand.h"

#include <exception>
#include <ostream>

#include "app/errorexcerpt.h"
#include "app/feedbackwnd.h"
#include "app/language.h"
#include "app/makermessages.h"
#include "app/makerservice.h"
#include "app/strings.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

int SendFeedbackFromCommandLine(const std::string& type, const std::u16string& text,
                                const std::u16string& contact, std::ostream& out,
                                std::ostream& err) {
    StringTable strings;
    try {
        strings = StringTable::Load(StringTableIdFor(CurrentLanguage()), FeedbackStringKeys());
    } catch (const std::exception& e) {
        err << Utf8FromWide(ResultTextOf(e)) << "\n";
        return 1;
    }
    FeedbackContent content;
    if (type == "error") {
        content.msgType = "bug";
    } else if (type == "advice") {
        content.msgType = "advice";
    } else {
        err << "feedback type must be error or advice, not \"" << type << "\"\n";
        return 1;
    }
    content.description = TrimFeedbackText(text.substr(0, FeedBackWnd::kDescriptionMaxLength));
    if (content.description.empty()) {
        err << Utf8FromWide(strings.Get("PromptsEmptyDesp")) << "\n";
        return 1;
    }
    content.contact = TrimFeedbackText(contact.substr(0, FeedBackWnd::kContactMaxLength));
    if (content.contact == strings.Get("EmailHelpTip"))
        content.contact.clear();
    content.logExcerpt = ExtractErrorLines(CurrentLogFilePath());

    const MakerService service = ResolveMakerService();
    try {
        PostMakerMessage({service.FeedbackUrl(), service.caFile}, BuildFeedbackRequest(content),
                         "msgResp");
    } catch (const std::exception& e) {
        const std::u16string failure = ResultTextOf(e);
        LogError(u"%s : %s", u"SendFeedbackFromCommandLine", failure);
        err << Utf8FromWide(strings.Get(FeedbackFailurePromptKey(failure))) << "\n";
        return 1;
    }
    out << Utf8FromWide(strings.Get("PromptsSuccess")) << "\n";
    return 0;
}

}  // namespace qm
