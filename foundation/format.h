// printf-style formatting for narrow (std::string) and wide (std::u16string)
// text. Arguments are type-checked at the call: a format string never reads
// an argument as a type it was not given as.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace qm {

// One formatting argument, captured by value (texts by view: they only need
// to live for the duration of the call).
class FormatArg {
public:
    enum class Kind { Signed, Unsigned, Double, Narrow, Wide, Pointer };

    template <class T>
    requires std::is_integral_v<T> FormatArg(T v) {  // NOLINT(google-explicit-constructor)
        if constexpr (std::is_signed_v<T>) {
            kind_ = Kind::Signed;
            signed_ = static_cast<long long>(v);
        } else {
            kind_ = Kind::Unsigned;
            unsigned_ = static_cast<unsigned long long>(v);
        }
    }
    FormatArg(double v) : kind_(Kind::Double), double_(v) {}                       // NOLINT
    FormatArg(const char* s) : kind_(Kind::Narrow), narrow_(s ? s : "(null)") {}   // NOLINT
    FormatArg(const std::string& s) : kind_(Kind::Narrow), narrow_(s) {}           // NOLINT
    FormatArg(std::string_view s) : kind_(Kind::Narrow), narrow_(s) {}             // NOLINT
    FormatArg(const char16_t* s) : kind_(Kind::Wide), wide_(s ? s : u"(null)") {}  // NOLINT
    FormatArg(const std::u16string& s) : kind_(Kind::Wide), wide_(s) {}            // NOLINT
    FormatArg(std::u16string_view s) : kind_(Kind::Wide), wide_(s) {}              // NOLINT
    FormatArg(const void* p) : kind_(Kind::Pointer), pointer_(p) {}                // NOLINT

    Kind kind() const { return kind_; }
    long long AsSigned() const;
    unsigned long long AsUnsigned() const;
    double AsDouble() const;
    std::string AsNarrow() const;   // wide texts converted through code page 936
    std::u16string AsWide() const;  // narrow texts converted through code page 936
    const void* AsPointer() const { return pointer_; }

private:
    Kind kind_;
    long long signed_ = 0;
    unsigned long long unsigned_ = 0;
    double double_ = 0;
    std::string_view narrow_;
    std::u16string_view wide_;
    const void* pointer_ = nullptr;
};

// Conversions: %d %i %u %x %X %o %c %s %f %e %g %p %%, with flags "-+ 0#",
// width, precision and the length modifiers h l ll z j t (accepted, ignored:
// the argument's own type decides). A conversion without a matching argument
// formats as nothing; surplus arguments are ignored.
std::string FormatNarrowArgs(std::string_view format, std::span<const FormatArg> args);
std::u16string FormatWideArgs(std::u16string_view format, std::span<const FormatArg> args);

template <class... A>
std::string FormatNarrow(std::string_view format, const A&... args) {
    const FormatArg packed[] = {FormatArg(args)..., FormatArg(0)};
    return FormatNarrowArgs(format, std::span<const FormatArg>(packed, sizeof...(A)));
}

template <class... A>
std::u16string FormatWide(std::u16string_view format, const A&... args) {
    const FormatArg packed[] = {FormatArg(args)..., FormatArg(0)};
    return FormatWideArgs(format, std::span<const FormatArg>(packed, sizeof...(A)));
}

}  // namespace qm
