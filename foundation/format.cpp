#include "foundation/format.h"

#include <cstdio>

#include "foundation/textconv.h"

namespace qm {

long long FormatArg::AsSigned() const {
    switch (kind_) {
        case Kind::Signed:
            return signed_;
        case Kind::Unsigned:
            return static_cast<long long>(unsigned_);
        case Kind::Double:
            return static_cast<long long>(double_);
        default:
            return 0;
    }
}

unsigned long long FormatArg::AsUnsigned() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<unsigned long long>(signed_);
        case Kind::Unsigned:
            return unsigned_;
        case Kind::Double:
            return static_cast<unsigned long long>(double_);
        default:
            return 0;
    }
}

double FormatArg::AsDouble() const {
    switch (kind_) {
        case Kind::Signed:
            return static_cast<double>(signed_);
        case Kind::Unsigned:
            return static_cast<double>(unsigned_);
        case Kind::Double:
            return double_;
        default:
            return 0;
    }
}

std::string FormatArg::AsNarrow() const {
    switch (kind_) {
        case Kind::Narrow:
            return std::string(narrow_);
        case Kind::Wide:
            return NarrowFromWide(wide_);
        default:
            return {};
    }
}

std::u16string FormatArg::AsWide() const {
    switch (kind_) {
        case Kind::Narrow:
            return WideFromNarrow(narrow_);
        case Kind::Wide:
            return std::u16string(wide_);
        default:
            return {};
    }
}

namespace {

struct Spec {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conversion = 0;
};

// Formats one numeric or pointer conversion through the C library, which
// already implements every flag combination; the result is plain ASCII.
std::string FormatScalar(const Spec& spec, const FormatArg& arg) {
    std::string fmt = "%" + spec.flags;
    if (spec.width >= 0)
        fmt += std::to_string(spec.width);
    if (spec.precision >= 0)
        fmt += "." + std::to_string(spec.precision);
    char buffer[512];
    int n = 0;
    switch (spec.conversion) {
        case 'd':
        case 'i':
            fmt += "lld";
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), arg.AsSigned());
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            fmt += "ll";
            fmt += spec.conversion;
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), arg.AsUnsigned());
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            fmt += spec.conversion;
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), arg.AsDouble());
            break;
        case 'p':
            fmt += 'p';
            n = std::snprintf(buffer, sizeof buffer, fmt.c_str(), arg.AsPointer());
            break;
        default:
            return {};
    }
    if (n < 0)
        return {};
    return std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

template <class Str>
void Pad(Str& out, const Str& body, const Spec& spec) {
    const bool left = spec.flags.find('-') != std::string::npos;
    const size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    const size_t fill = body.size() < width ? width - body.size() : 0;
    if (!left)
        out.append(fill, ' ');
    out += body;
    if (left)
        out.append(fill, ' ');
}

template <class Char>
std::basic_string<Char> FormatGeneric(std::basic_string_view<Char> format,
                                      std::span<const FormatArg> args) {
    using Str = std::basic_string<Char>;
    Str out;
    out.reserve(format.size() + 16 * args.size());
    size_t next = 0;
    size_t i = 0;
    auto nextArg = [&]() -> const FormatArg* {
        return next < args.size() ? &args[next++] : nullptr;
    };
    while (i < format.size()) {
        const Char c = format[i];
        if (c != Char('%')) {
            out.push_back(c);
            ++i;
            continue;
        }
        ++i;
        if (i >= format.size()) {
            out.push_back(Char('%'));
            break;
        }
        if (format[i] == Char('%')) {
            out.push_back(Char('%'));
            ++i;
            continue;
        }
        Spec spec;
        while (i < format.size() &&
               (format[i] == Char('-') || format[i] == Char('+') || format[i] == Char(' ') ||
                format[i] == Char('0') || format[i] == Char('#'))) {
            spec.flags.push_back(static_cast<char>(format[i++]));
        }
        auto readNumber = [&](int& target) {
            if (i < format.size() && format[i] == Char('*')) {
                const FormatArg* a = nextArg();
                target = a ? static_cast<int>(a->AsSigned()) : 0;
                ++i;
                return;
            }
            int value = -1;
            while (i < format.size() && format[i] >= Char('0') && format[i] <= Char('9')) {
                value = (value < 0 ? 0 : value) * 10 + static_cast<int>(format[i] - Char('0'));
                if (value > 4096)
                    value = 4096;
                ++i;
            }
            target = value;
        };
        readNumber(spec.width);
        if (i < format.size() && format[i] == Char('.')) {
            ++i;
            readNumber(spec.precision);
            if (spec.precision < 0)
                spec.precision = 0;
        }
        while (i < format.size() &&
               (format[i] == Char('h') || format[i] == Char('l') || format[i] == Char('z') ||
                format[i] == Char('j') || format[i] == Char('t') || format[i] == Char('L') ||
                format[i] == Char('w') || format[i] == Char('I'))) {
            ++i;
        }
        if (i >= format.size())
            break;
        const Char conv = format[i++];
        spec.conversion = conv < 128 ? static_cast<char>(conv) : 0;
        const FormatArg* arg = nextArg();
        if (!arg)
            continue;
        if (spec.conversion == 's' || spec.conversion == 'S') {
            Str text;
            if constexpr (std::is_same_v<Char, char>) {
                text = arg->AsNarrow();
            } else {
                text = arg->AsWide();
            }
            if (spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision)) {
                text.resize(static_cast<size_t>(spec.precision));
            }
            Pad(out, text, spec);
        } else if (spec.conversion == 'c' || spec.conversion == 'C') {
            Pad(out, Str(1, static_cast<Char>(arg->AsSigned())), spec);
        } else {
            const std::string ascii = FormatScalar(spec, *arg);
            out.append(ascii.begin(), ascii.end());
        }
    }
    return out;
}

}  // namespace

std::string FormatNarrowArgs(std::string_view format, std::span<const FormatArg> args) {
    return FormatGeneric<char>(format, args);
}

std::u16string FormatWideArgs(std::u16string_view format, std::span<const FormatArg> args) {
    return FormatGeneric<char16_t>(format, args);
}

}  // namespace qm
