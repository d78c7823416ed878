// What every libcurl user here needs: the library set up once per process
// (curl_global_init is not thread-safe, and transfers may start on any
// thread) and easy handles that clean themselves up. Header-only, so that
// only the modules that link libcurl pay for it.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace qm {

inline void InitializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyCleanup>;

}  // namespace qm
