// GET /download/<name>: which file of the release folder is meant, and how
// an injected fault shapes what goes on the wire. The server's content
// provider follows NextStep; the unit tests walk it without sockets.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace qm::services {

// A name without "/", "\", "..", NUL or a leading "." (so nothing outside
// the release folder and no hidden file), and not empty.
bool IsPlainFileName(std::string_view name);

// "text/plain" for .txt, "application/octet-stream" otherwise.
std::string ContentTypeFor(std::string_view name);

// The bytes of releaseDir/name when that is a plain name of a regular file
// there; false otherwise (the request is answered 404).
bool ReadReleaseFile(const std::string& releaseDir, const std::string& name, std::string& bytes);

inline constexpr size_t kNever = std::numeric_limits<size_t>::max();

struct DownloadBody {
    std::string bytes;        // what is sent; its size is the declared Content-Length
    size_t stallAt = kNever;  // stall once before sending from this offset
    size_t cutAt = kNever;    // close the connection at this offset
};

// The file as a fault ("", "slow", "truncated" or "wrong-content") sends it:
// slow stalls and truncated cuts at half the file; wrong-content flips the
// bits of the last byte.
DownloadBody PlanDownload(std::string file, const std::string& fault);

struct DownloadStep {
    enum class Kind { Send, Stall, Close };
    Kind kind = Kind::Send;
    size_t size = 0;  // bytes to send from the offset (Send)
};

// What to do at `offset` (bytes sent so far), `stalled` telling whether the
// stall is over; at most `maxChunk` bytes at a time.
DownloadStep NextStep(const DownloadBody& body, size_t offset, bool stalled, size_t maxChunk);

// Sleeps in small steps for up to `limit`; true when `stopping` ended it early.
bool StallFor(std::chrono::milliseconds limit, const std::function<bool()>& stopping);

}  // namespace qm::services
