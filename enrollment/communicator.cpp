#include "enrollment/communicator.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

#include "enrollment/centerconfig.h"
#include "foundation/curlsupport.h"
#include "foundation/files.h"
#include "foundation/interrupts.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"

namespace qm {

namespace {

// Only one transfer runs at a time in the process.
std::mutex g_transferLock;

using EasyHandle = CurlEasyHandle;

struct Sink {
    std::string data;
    size_t limit = 0;
    bool overflow = false;
};

size_t AppendToSink(char* bytes, size_t size, size_t count, void* userdata) {
    auto* sink = static_cast<Sink*>(userdata);
    const size_t total = size * count;
    if (total > sink->limit - sink->data.size()) {
        sink->overflow = true;
        return 0;  // makes curl abandon the transfer
    }
    sink->data.append(bytes, total);
    return total;
}

// The certificates a server may chain to: the system bundle curl would use
// by default, plus the configured anchor. False when the anchor cannot be
// read: trusting less than configured would only fail later and less clearly.
bool TrustBundle(CURL* handle, std::u16string_view caFile, std::string& bundle) {
    std::string anchor;
    if (!ReadFileBytes(caFile, anchor) || anchor.empty())
        return false;
    char* systemBundle = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_CAINFO, &systemBundle) == CURLE_OK &&
        systemBundle != nullptr) {
        std::string system;
        if (ReadFileBytes(WideFromUtf8(systemBundle), system))
            bundle = std::move(system);
    }
    if (!bundle.empty() && bundle.back() != '\n')
        bundle += '\n';
    bundle += anchor;
    return true;
}

// Options common to both operations; false when one cannot be set.
// An interrupt (Ctrl+C) ends a transfer at once instead of after its time-out.
int StopWhenInterrupted(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return InterruptRequested() ? 1 : 0;
}

bool SetCommonOptions(CURL* handle, const std::string& url, Sink& sink, char* errorText,
                      const std::string& trustBundle) {
    bool ok = curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, StopWhenInterrupted) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendToSink) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
              curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (ok && !trustBundle.empty()) {
        curl_blob blob{const_cast<char*>(trustBundle.data()), trustBundle.size(), CURL_BLOB_NOCOPY};
        ok = curl_easy_setopt(handle, CURLOPT_CAINFO_BLOB, &blob) == CURLE_OK;
    }
    return ok;
}

// Runs one transfer under the process-wide lock; the curl result text, or
// empty on success.
std::string Perform(CURL* handle, const Sink& sink, const char* errorText) {
    CURLcode code;
    {
        std::lock_guard<std::mutex> lock(g_transferLock);
        code = curl_easy_perform(handle);
    }
    if (code == CURLE_OK)
        return {};
    if (sink.overflow)
        return "response larger than " + std::to_string(sink.limit) + " bytes";
    return errorText[0] != '\0' ? std::string(errorText) : std::string(curl_easy_strerror(code));
}

}  // namespace

CCommunicator::CCommunicator(std::u16string url, std::u16string caFile)
    : url_(std::move(url)), caFile_(std::move(caFile)) {}

std::string CCommunicator::Post(std::string body) const {
    InitializeCurlOnce();
    EasyHandle handle(curl_easy_init());
    if (!handle)
        ThrowResult(result::kCommunicationFailed);
    std::string trustBundle;
    if (!caFile_.empty() && !TrustBundle(handle.get(), caFile_, trustBundle)) {
        LogWarn(u"CCommunicator::Post, cannot read the trust anchor %s", caFile_);
        ThrowResult(result::kCommunicationFailed);
    }
    const std::string url = NarrowFromWide(url_);
    Sink sink{{}, kMaxResponseSize, false};
    char errorText[CURL_ERROR_SIZE] = {};
    const bool ready =
        SetCommonOptions(handle.get(), url, sink, errorText, trustBundle) &&
        curl_easy_setopt(handle.get(), CURLOPT_POST, 1L) == CURLE_OK &&
        curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, body.c_str()) == CURLE_OK &&
        curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(body.size())) == CURLE_OK &&
        curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, kPostTimeoutSeconds) == CURLE_OK &&
        curl_easy_setopt(handle.get(), CURLOPT_USERAGENT, kUserAgent) == CURLE_OK;
    if (!ready)
        ThrowResult(result::kCommunicationFailed);
    // The log never holds the credentials a URL may carry.
    const std::u16string shown = UrlWithoutCredentials(url_);
    if (const std::string failure = Perform(handle.get(), sink, errorText); !failure.empty()) {
        LogWarn(u"CCommunicator::Post, %s: %s", shown, WideFromUtf8(failure));
        ThrowResult(result::kCommunicationFailed);
    }
    const size_t start = sink.data.find('{');
    if (start == std::string::npos) {
        LogWarn(u"CCommunicator::Post, %s: no JSON object in the answer", shown);
        ThrowResult(result::kCommunicationFailed);
    }
    const size_t end = sink.data.find('\0', start);
    return sink.data.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void CCommunicator::Download(std::u16string_view url, std::u16string_view localPath,
                             std::u16string_view caFile) {
    auto fail = [&](std::string_view why) {
        LogWarn(u"CCommunicator::Download, %s: %s", UrlWithoutCredentials(url), WideFromUtf8(why));
        ThrowResult(u"%s, file path: %s", u"CCommunicator::Download", localPath);
    };
    InitializeCurlOnce();
    EasyHandle handle(curl_easy_init());
    if (!handle)
        fail("no transfer handle");
    // The target folder must exist before the transfer is worth starting.
    const std::u16string folder = DirectoryOf(localPath);
    if (localPath.empty() || (!folder.empty() && !DirectoryExists(folder)))
        fail("the target folder does not exist");
    std::string trustBundle;
    if (!caFile.empty() && !TrustBundle(handle.get(), caFile, trustBundle))
        fail("cannot read the trust anchor");
    Sink sink{{}, kMaxDownloadSize, false};
    char errorText[CURL_ERROR_SIZE] = {};
    const bool ready =
        SetCommonOptions(handle.get(), NarrowFromWide(url), sink, errorText, trustBundle) &&
        curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK &&
        curl_easy_setopt(handle.get(), CURLOPT_LOW_SPEED_TIME, kDownloadStallSeconds) == CURLE_OK;
    if (!ready)
        fail("cannot set the transfer options");
    if (const std::string failure = Perform(handle.get(), sink, errorText); !failure.empty())
        fail(failure);
    if (!WriteFileAtomic(localPath, sink.data))
        fail("cannot write the file");
}

}  // namespace qm
