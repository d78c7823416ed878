#include "ui/skin.h"

#include <unzip.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>

#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm::ui {
namespace {

// ---------------------------------------------------------------------------
// The archive bytes as a file for minizip: read-only, seekable.

struct MemoryFile {
    std::string_view bytes;
    size_t pos = 0;
    bool failed = false;
};

voidpf ZCALLBACK MemOpen(voidpf opaque, const void* /*name*/, int mode) {
    auto* file = static_cast<MemoryFile*>(opaque);
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    file->pos = 0;
    file->failed = false;
    return file;
}

uLong ZCALLBACK MemRead(voidpf /*opaque*/, voidpf stream, void* buf, uLong size) {
    auto* file = static_cast<MemoryFile*>(stream);
    const size_t left = file->bytes.size() - file->pos;
    const size_t n = std::min<size_t>(left, size);
    if (n > 0)
        std::memcpy(buf, file->bytes.data() + file->pos, n);
    file->pos += n;
    return static_cast<uLong>(n);
}

uLong ZCALLBACK MemWrite(voidpf /*opaque*/, voidpf stream, const void* /*buf*/, uLong /*size*/) {
    static_cast<MemoryFile*>(stream)->failed = true;
    return 0;
}

ZPOS64_T ZCALLBACK MemTell(voidpf /*opaque*/, voidpf stream) {
    return static_cast<MemoryFile*>(stream)->pos;
}

long ZCALLBACK MemSeek(voidpf /*opaque*/, voidpf stream, ZPOS64_T offset, int origin) {
    auto* file = static_cast<MemoryFile*>(stream);
    const ZPOS64_T size = file->bytes.size();
    ZPOS64_T base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            base = 0;
            break;
        case ZLIB_FILEFUNC_SEEK_CUR:
            base = file->pos;
            break;
        case ZLIB_FILEFUNC_SEEK_END:
            base = size;
            break;
        default:
            return -1;
    }
    // Nothing may land outside the buffer.
    if (offset > size - base)
        return -1;
    file->pos = static_cast<size_t>(base + offset);
    return 0;
}

int ZCALLBACK MemClose(voidpf /*opaque*/, voidpf /*stream*/) {
    return 0;
}

int ZCALLBACK MemError(voidpf /*opaque*/, voidpf stream) {
    return static_cast<MemoryFile*>(stream)->failed ? 1 : 0;
}

// Closes the archive (and an open entry) however the reading ends.
class ZipReader {
public:
    explicit ZipReader(std::string_view bytes) {
        file_.bytes = bytes;
        zlib_filefunc64_def funcs{};
        funcs.zopen64_file = MemOpen;
        funcs.zread_file = MemRead;
        funcs.zwrite_file = MemWrite;
        funcs.ztell64_file = MemTell;
        funcs.zseek64_file = MemSeek;
        funcs.zclose_file = MemClose;
        funcs.zerror_file = MemError;
        funcs.opaque = &file_;
        zip_ = unzOpen2_64("skin.zip", &funcs);
    }
    ~ZipReader() {
        if (entryOpen_)
            unzCloseCurrentFile(zip_);
        if (zip_ != nullptr)
            unzClose(zip_);
    }
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    unzFile Get() const { return zip_; }
    bool OpenEntry() {
        entryOpen_ = unzOpenCurrentFile(zip_) == UNZ_OK;
        return entryOpen_;
    }
    // UNZ_OK, or UNZ_CRCERROR when the entry was read whole and its
    // checksum does not match.
    int CloseEntry() {
        entryOpen_ = false;
        return unzCloseCurrentFile(zip_);
    }

private:
    MemoryFile file_;
    unzFile zip_ = nullptr;
    bool entryOpen_ = false;
};

std::string Quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out + "'";
}

[[noreturn]] void EntryFails(std::string_view name, std::string_view why) {
    throw SkinError("skin archive entry " + Quoted(name) + " " + std::string(why));
}

// Names are plain relative paths with "/" between the parts.
void CheckEntryName(std::string_view name) {
    if (name.empty())
        EntryFails(name, "has an empty name");
    if (name.front() == '/')
        EntryFails(name, "is an absolute path");
    if (name.find('\\') != std::string_view::npos)
        EntryFails(name, "contains a backslash");
    if (name.size() >= 2 && name[1] == ':' &&
        ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')))
        EntryFails(name, "starts with a drive letter");
    if (name.find(':') != std::string_view::npos)
        EntryFails(name, "contains ':'");
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20)
            EntryFails(name, "contains a control character");
    }
    size_t begin = 0;
    while (begin <= name.size()) {
        size_t end = name.find('/', begin);
        if (end == std::string_view::npos)
            end = name.size();
        if (name.substr(begin, end - begin) == "..")
            EntryFails(name, "has a '..' path part");
        begin = end + 1;
    }
}

// ---------------------------------------------------------------------------
// Layout values.

[[noreturn]] void LayoutFails(std::string_view layout, std::string_view what) {
    throw SkinError(std::string(what) + " in " + std::string(layout));
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A decimal number, optionally negative, within +-1,000,000.
bool ReadNumber(std::string_view text, bool allowNegative, int& value) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && text.front() == '-' && allowNegative) {
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 7)
        return false;
    int result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    if (result > 1000000)
        return false;
    value = negative ? -result : result;
    return true;
}

// "a,b,..." with exactly `count` numbers; the first `signedCount` may be
// negative.
bool ReadNumbers(std::string_view text, size_t count, size_t signedCount, int* out) {
    for (size_t i = 0; i < count; ++i) {
        const size_t comma = text.find(',');
        const bool last = i + 1 == count;
        if (last != (comma == std::string_view::npos))
            return false;
        if (!ReadNumber(text.substr(0, comma), i < signedCount, out[i]))
            return false;
        if (!last)
            text.remove_prefix(comma + 1);
    }
    return true;
}

bool ReadColor(std::string_view text, Color& color) {
    text = Trim(text);
    if (text.empty() || text.front() != '#' || (text.size() != 7 && text.size() != 9))
        return false;
    Color value = 0;
    for (const char c : text.substr(1)) {
        int digit = 0;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = (value << 4) | static_cast<Color>(digit);
    }
    color = text.size() == 7 ? (0xFF000000u | value) : value;
    return true;
}

bool ControlKindByName(std::string_view name, ControlKind& kind) {
    static constexpr std::pair<std::string_view, ControlKind> kKinds[] = {
        {"Label", ControlKind::Label},         {"Button", ControlKind::Button},
        {"Option", ControlKind::Option},       {"Edit", ControlKind::Edit},
        {"Text", ControlKind::Text},           {"Progress", ControlKind::Progress},
        {"Container", ControlKind::Container},
    };
    for (const auto& [text, value] : kKinds) {
        if (text == name) {
            kind = value;
            return true;
        }
    }
    return false;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Reads one layout file out of its archive.
class LayoutReader {
public:
    LayoutReader(const SkinArchive& archive, std::string_view layoutFile)
        : archive_(archive), layout_(layoutFile) {}

    SkinWindow Read() {
        if (!archive_.Has(layout_))
            throw SkinError("skin layout " + Quoted(layout_) + " is not in the archive");
        std::string_view bytes = archive_.File(layout_);
        if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
            bytes.remove_prefix(3);
        if (!doc_.SetDocument(WideFromUtf8(bytes)))
            throw SkinError("skin layout " + Quoted(layout_) + " is not well-formed XML");
        doc_.ResetPosition();
        if (!doc_.FindElement())
            throw SkinError("skin layout " + Quoted(layout_) + " has no root element");
        const std::string root = Tag();
        if (root != "Window")
            LayoutFails(layout_, "root element " + Quoted(root) + " (expected 'Window')");
        if (doc_.FindElement())
            LayoutFails(layout_, "more than one root element");

        SkinWindow window;
        window.name = Attr("name");
        int size[2] = {};
        const std::string sizeText = Attr("size");
        if (!ReadNumbers(sizeText, 2, 0, size) || size[0] <= 0 || size[1] <= 0)
            LayoutFails(layout_, "bad window size " + Quoted(sizeText) + " (expected 'w,h')");
        window.width = size[0];
        window.height = size[1];
        const std::string caption = Attr("caption");
        if (!caption.empty())
            window.caption = ReadRect(caption, "window caption");
        window.icon = Image("icon", "the window");
        window.bkImage = Image("bkimage", "the window");
        window.hasBkColor = ReadOptionalColor("bkcolor", "the window", window.bkColor);

        ReadChildren(window, "", 1);
        return window;
    }

private:
    static constexpr int kMaxDepth = 16;

    std::string Attr(std::u16string_view name) const {
        return Utf8FromWide(doc_.GetAttribute(name));
    }
    std::string Attr(std::string_view name) const { return Attr(WideFromAscii(name)); }
    std::string Tag() const { return Utf8FromWide(doc_.GetTagName()); }

    Rect ReadRect(const std::string& text, std::string_view owner) const {
        int v[4] = {};
        if (!ReadNumbers(text, 4, 2, v))
            LayoutFails(layout_, "bad position " + Quoted(text) + " of " + std::string(owner) +
                                     " (expected 'x,y,w,h' with w and h not negative)");
        return Rect{v[0], v[1], v[2], v[3]};
    }

    std::string Image(std::string_view attribute, const std::string& owner) const {
        std::string file = Attr(attribute);
        if (!file.empty() && !archive_.Has(file))
            LayoutFails(layout_, "image " + Quoted(file) + " (" + std::string(attribute) + " of " +
                                     owner + ") is not in the skin archive");
        return file;
    }

    bool ReadOptionalColor(std::string_view attribute, const std::string& owner,
                           Color& color) const {
        const std::string text = Attr(attribute);
        if (text.empty())
            return false;
        if (!ReadColor(text, color))
            LayoutFails(layout_, "bad colour " + Quoted(text) + " (" + std::string(attribute) +
                                     " of " + owner + "; expected '#RRGGBB' or '#AARRGGBB')");
        return true;
    }

    bool ReadFlag(std::string_view attribute, const std::string& owner, bool fallback) const {
        const std::string text = Attr(attribute);
        if (text.empty())
            return fallback;
        if (text == "true")
            return true;
        if (text == "false")
            return false;
        LayoutFails(layout_, "bad value " + Quoted(text) + " (" + std::string(attribute) + " of " +
                                 owner + "; expected 'true' or 'false')");
    }

    // The elements inside the current one, which becomes current again at
    // the end.
    void ReadChildren(SkinWindow& window, const std::string& parent, int depth) {
        if (depth > kMaxDepth)
            LayoutFails(layout_, "containers nested deeper than " + std::to_string(kMaxDepth));
        doc_.IntoElement();
        while (doc_.FindElement()) {
            const SkinControl& control = ReadControl(window, parent);
            if (control.kind == ControlKind::Container) {
                const std::string name = control.name;
                ReadChildren(window, name, depth + 1);
            } else {
                doc_.IntoElement();
                const bool hasChildren = doc_.FindElement();
                doc_.OutOfElement();
                if (hasChildren)
                    LayoutFails(layout_, "control " + Quoted(control.name) +
                                             " holds elements; only a Container can");
            }
        }
        doc_.OutOfElement();
    }

    const SkinControl& ReadControl(SkinWindow& window, const std::string& parent) {
        SkinControl c;
        const std::string tag = Tag();
        if (!ControlKindByName(tag, c.kind))
            LayoutFails(layout_, "unknown control kind " + Quoted(tag));
        c.name = Attr("name");
        if (c.name.empty())
            LayoutFails(layout_, "a " + tag + " without a name");
        const std::string owner = "control " + Quoted(c.name);
        if (!names_.insert(LowerAscii(c.name)).second)
            LayoutFails(layout_, "control name " + Quoted(c.name) + " used twice");
        c.parent = parent;
        const std::string pos = Attr("pos");
        if (pos.empty())
            LayoutFails(layout_, owner + " without a position (pos)");
        c.pos = ReadRect(pos, owner);
        c.text = doc_.GetAttribute(u"text");
        c.tooltip = doc_.GetAttribute(u"tooltip");
        c.group = Attr("group");
        c.image = Image("image", owner);
        c.selectedImage = Image("selectedimage", owner);
        c.hoverImage = Image("hoverimage", owner);
        c.hasTextColor = ReadOptionalColor("textcolor", owner, c.textColor);
        c.hasBkColor = ReadOptionalColor("bkcolor", owner, c.bkColor);
        const std::string font = Attr("font");
        if (!font.empty() &&
            (!ReadNumber(font, false, c.fontSize) || c.fontSize < 6 || c.fontSize > 72))
            LayoutFails(layout_,
                        "bad font size " + Quoted(font) + " of " + owner + " (expected 6 to 72)");
        c.bold = ReadFlag("bold", owner, false);
        c.link = ReadFlag("link", owner, false);
        c.visible = ReadFlag("visible", owner, true);
        c.readOnly = ReadFlag("readonly", owner, false);
        c.multiline = ReadFlag("multiline", owner, false);
        c.align = Attr("align");
        if (!c.align.empty() && c.align != "left" && c.align != "center" && c.align != "right")
            LayoutFails(layout_, "bad alignment " + Quoted(c.align) + " of " + owner +
                                     " (expected left, center or right)");
        window.controls.push_back(std::move(c));
        return window.controls.back();
    }

    const SkinArchive& archive_;
    const std::string layout_;
    XmlDocument doc_;
    std::set<std::string> names_;
};

}  // namespace

const SkinControl* SkinWindow::Find(std::string_view controlName) const {
    for (const SkinControl& control : controls) {
        if (SameName(control.name, controlName))
            return &control;
    }
    return nullptr;
}

SkinArchive SkinArchive::FromZip(std::string_view zipBytes, const SkinLimits& limits) {
    if (zipBytes.empty())
        throw SkinError("skin archive is empty");
    ZipReader reader(zipBytes);
    unzFile zip = reader.Get();
    if (zip == nullptr)
        throw SkinError("skin archive cannot be read (not a ZIP archive, or damaged)");
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK)
        throw SkinError("skin archive cannot be read (no central directory)");
    if (global.number_entry > limits.maxEntries)
        throw SkinError("skin archive has " + std::to_string(global.number_entry) +
                        " entries, more than " + std::to_string(limits.maxEntries));

    SkinArchive archive;
    size_t total = 0;
    size_t entries = 0;
    int rc = unzGoToFirstFile(zip);
    for (; rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        if (++entries > limits.maxEntries)
            throw SkinError("skin archive has more than " + std::to_string(limits.maxEntries) +
                            " entries");
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            throw SkinError("skin archive entry " + std::to_string(entries) + " cannot be read");
        std::string name(info.size_filename + 1, '\0');
        if (unzGetCurrentFileInfo64(zip, &info, name.data(), static_cast<uLong>(name.size()),
                                    nullptr, 0, nullptr, 0) != UNZ_OK)
            throw SkinError("skin archive entry " + std::to_string(entries) + " cannot be read");
        name.resize(info.size_filename);
        if (name.find('\0') != std::string::npos)
            EntryFails(name, "has a NUL character in its name");
        const bool isFolder = !name.empty() && name.back() == '/';
        CheckEntryName(isFolder ? std::string_view(name).substr(0, name.size() - 1) : name);
        if (isFolder)
            continue;
        if (archive.files_.count(name) != 0)
            EntryFails(name, "occurs twice");
        if ((info.flag & 1) != 0)
            EntryFails(name, "is encrypted");
        if (info.uncompressed_size > limits.maxEntryBytes)
            EntryFails(name, "is larger than " + std::to_string(limits.maxEntryBytes) +
                                 " bytes (declared " + std::to_string(info.uncompressed_size) +
                                 ")");
        if (info.uncompressed_size > limits.maxTotalBytes - total)
            EntryFails(name, "takes the archive over its limit of " +
                                 std::to_string(limits.maxTotalBytes) + " bytes");

        // Read one byte past what may be kept, whatever the header says.
        const size_t room = std::min(limits.maxEntryBytes, limits.maxTotalBytes - total);
        if (!reader.OpenEntry())
            EntryFails(name, "cannot be opened (unsupported compression or damaged)");
        std::string content;
        char buffer[16384];
        for (;;) {
            const size_t want = std::min(sizeof buffer, room + 1 - content.size());
            if (want == 0)
                break;
            const int n = unzReadCurrentFile(zip, buffer, static_cast<unsigned>(want));
            if (n < 0)
                EntryFails(name, "is damaged (error " + std::to_string(n) + ")");
            if (n == 0)
                break;
            content.append(buffer, static_cast<size_t>(n));
        }
        if (content.size() > limits.maxEntryBytes)
            EntryFails(name, "is larger than " + std::to_string(limits.maxEntryBytes) + " bytes");
        if (content.size() > room)
            EntryFails(name, "takes the archive over its limit of " +
                                 std::to_string(limits.maxTotalBytes) + " bytes");
        if (reader.CloseEntry() != UNZ_OK)
            EntryFails(name, "is damaged (checksum mismatch)");
        if (content.size() != info.uncompressed_size)
            EntryFails(name, "is damaged (size differs from its header)");
        total += content.size();
        archive.files_.emplace(std::move(name), std::move(content));
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE)
        throw SkinError("skin archive cannot be read after entry " + std::to_string(entries) +
                        " (damaged central directory)");
    return archive;
}

bool SkinArchive::Has(std::string_view fileName) const {
    return files_.find(std::string(fileName)) != files_.end();
}

const std::string& SkinArchive::File(std::string_view fileName) const {
    const auto it = files_.find(std::string(fileName));
    if (it == files_.end())
        throw SkinError("skin archive has no entry " + Quoted(fileName));
    return it->second;
}

std::vector<std::string> SkinArchive::FileNames() const {
    std::vector<std::string> names;
    names.reserve(files_.size());
    for (const auto& entry : files_)
        names.push_back(entry.first);
    return names;
}

SkinWindow SkinArchive::Layout(std::string_view layoutFile) const {
    return LayoutReader(*this, layoutFile).Read();
}

}  // namespace qm::ui
