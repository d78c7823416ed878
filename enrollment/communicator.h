// CCommunicator: the program's only network client. It posts a JSON body to
// one URL and returns the answer, and downloads a URL into a file. It knows
// nothing of JSON; it moves bytes.
//
// Both operations verify the server's certificate and host name against the
// system's trust store plus an optional extra trust anchor (a PEM file), and
// only one transfer runs at a time in the whole process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

class CCommunicator {
public:
    static constexpr long kPostTimeoutSeconds = 60;
    // A stalled download (below one byte per second for this long) is abandoned.
    static constexpr long kDownloadStallSeconds = 60;
    static constexpr size_t kMaxResponseSize = size_t{16} << 20;
    static constexpr size_t kMaxDownloadSize = size_t{256} << 20;
    static constexpr const char* kUserAgent = "quillmate-0.1.0-windows08.x86_64";

    explicit CCommunicator(std::u16string url, std::u16string caFile = {});

    const std::u16string& Url() const { return url_; }
    const std::u16string& CaFile() const { return caFile_; }

    // The answer from its first "{" up to its first zero byte. Every failure
    // (no connection, untrusted server, time-out, oversized answer, no "{")
    // throws "communication failed".
    std::string Post(std::string body) const;

    // Replaces `localPath` with the resource once it has arrived whole.
    // Failure throws "CCommunicator::Download, file path: <localPath>".
    static void Download(std::u16string_view url, std::u16string_view localPath,
                         std::u16string_view caFile = {});

private:
    std::u16string url_;
    std::u16string caFile_;
};

}  // namespace qm
