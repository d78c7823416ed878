#include "app/skins.h"

#include <mutex>

#include "app/resources.h"
#include "foundation/results.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

ui::SkinArchive ReadSkinArchive(Language language) {
    const int id = language == Language::Chinese ? kChineseSkinId : kEnglishSkinId;
    const EmbeddedResource* resource = FindEmbeddedResource("ZIPRES", id);
    if (!resource)
        ThrowResult(u"FindResource failed");
    try {
        return ui::SkinArchive::FromZip(resource->bytes);
    } catch (const ui::SkinError& e) {
        ThrowResult(u"the skin archive %d cannot be read: %s", id, WideFromUtf8(e.what()));
    }
}

}  // namespace

const ui::SkinArchive& SkinArchiveFor(Language language) {
    static std::once_flag englishOnce;
    static std::once_flag chineseOnce;
    static ui::SkinArchive english;
    static ui::SkinArchive chinese;
    if (language == Language::Chinese) {
        std::call_once(chineseOnce, [] { chinese = ReadSkinArchive(Language::Chinese); });
        return chinese;
    }
    std::call_once(englishOnce, [] { english = ReadSkinArchive(Language::English); });
    return english;
}

ui::SkinWindow LoadSkinLayout(std::u16string_view skinFile) {
    const ui::SkinArchive& archive = SkinArchiveFor(CurrentLanguage());
    try {
        return archive.Layout(Utf8FromWide(skinFile));
    } catch (const ui::SkinError& e) {
        ThrowResult(u"the skin %s cannot be used: %s", std::u16string(skinFile),
                    WideFromUtf8(e.what()));
    }
}

}  // namespace qm
