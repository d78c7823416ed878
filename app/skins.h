// The skins the executable carries: one ZIP archive per language (resource
// type "ZIPRES": 133 Chinese, 134 English) with the window layouts and their
// images.
#pragma once

#include <string_view>

#include "app/language.h"
#include "ui/skin.h"

namespace qm {

inline constexpr int kChineseSkinId = 133;
inline constexpr int kEnglishSkinId = 134;

// The archive of a language, read once. Raises a result text naming what
// is wrong when the archive is missing or cannot be read.
const ui::SkinArchive& SkinArchiveFor(Language language);

// A layout of the current language's archive; raises like SkinArchiveFor,
// and when the layout cannot be used.
ui::SkinWindow LoadSkinLayout(std::u16string_view skinFile);

}  // namespace qm
