#include "services/downloads.h"

#include <algorithm>
#include <thread>

#include "foundation/files.h"
#include "foundation/textconv.h"

namespace qm::services {

bool IsPlainFileName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find_first_of("/\\") == name.npos &&
           name.find('\0') == name.npos && name.find("..") == name.npos;
}

std::string ContentTypeFor(std::string_view name) {
    return name.ends_with(".txt") ? "text/plain" : "application/octet-stream";
}

bool ReadReleaseFile(const std::string& releaseDir, const std::string& name, std::string& bytes) {
    if (releaseDir.empty() || !IsPlainFileName(name))
        return false;
    const std::u16string path = WideFromUtf8(releaseDir + "/" + name);
    return FileExists(path) && ReadFileBytes(path, bytes);
}

DownloadBody PlanDownload(std::string file, const std::string& fault) {
    DownloadBody body;
    body.bytes = std::move(file);
    const size_t half = body.bytes.size() / 2;
    if (fault == "slow")
        body.stallAt = half;
    else if (fault == "truncated")
        body.cutAt = half;
    else if (fault == "wrong-content" && !body.bytes.empty())
        body.bytes.back() = static_cast<char>(~body.bytes.back());
    return body;
}

DownloadStep NextStep(const DownloadBody& body, size_t offset, bool stalled, size_t maxChunk) {
    if (offset >= body.cutAt || offset >= body.bytes.size())
        return {DownloadStep::Kind::Close, 0};
    if (!stalled && offset >= body.stallAt)
        return {DownloadStep::Kind::Stall, 0};
    size_t end = std::min(body.bytes.size(), body.cutAt);
    if (!stalled)
        end = std::min(end, body.stallAt);
    return {DownloadStep::Kind::Send, std::min(end - offset, maxChunk)};
}

bool StallFor(std::chrono::milliseconds limit, const std::function<bool()>& stopping) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (stopping())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return stopping();
}

}  // namespace qm::services
