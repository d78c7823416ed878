#include <errno.h>
#include <iconv.h>

#include <cstring>
#include <string>

#include "foundation/host/host.h"

namespace qm::host {

namespace {

// One converter per thread and direction: iconv descriptors carry state and
// must not be shared between threads.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1))
            iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `in`; on an unconvertible or invalid unit it emits `replacement`
    // and skips `skip` input bytes.
    std::string Run(const char* in, size_t inLeft, const std::string& replacement, size_t skip) {
        std::string out;
        if (!ok())
            return out;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char buffer[4096];
        char* src = const_cast<char*>(in);
        while (inLeft > 0) {
            char* dst = buffer;
            size_t outLeft = sizeof buffer;
            const size_t r = iconv(cd_, &src, &inLeft, &dst, &outLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            if (r == static_cast<size_t>(-1)) {
                if (errno == E2BIG)
                    continue;
                out += replacement;
                const size_t n = std::min(skip, inLeft);
                src += n;
                inLeft -= n;
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

private:
    iconv_t cd_;
};

}  // namespace

std::string WideToCodePage936(std::u16string_view wide) {
    thread_local Converter conv("CP936", "UTF-16LE");
    static_assert(sizeof(char16_t) == 2);
    std::string le;
    le.reserve(wide.size() * 2);
    for (char16_t c : wide) {
        le.push_back(static_cast<char>(c & 0xFF));
        le.push_back(static_cast<char>(c >> 8));
    }
    return conv.Run(le.data(), le.size(), "?", 2);
}

std::u16string CodePage936ToWide(std::string_view narrow) {
    thread_local Converter conv("UTF-16LE", "CP936");
    const std::string le = conv.Run(narrow.data(), narrow.size(), std::string("?\0", 2), 1);
    std::u16string out;
    out.reserve(le.size() / 2);
    for (size_t i = 0; i + 1 < le.size(); i += 2) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(le[i]) |
                                            (static_cast<unsigned char>(le[i + 1]) << 8)));
    }
    return out;
}

}  // namespace qm::host
