#pragma once
// One libcurl easy handle with its header list, freed on scope exit; libcurl's global set-up
// runs once per process before the first handle. Include only from modules that link libcurl.

#include <curl/curl.h>

#include <mutex>

namespace quillbox::detail {

struct CurlHandle {
    CURL* h = nullptr;
    curl_slist* headers = nullptr;

    CurlHandle() {
        static std::once_flag init;
        std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        h = curl_easy_init();
    }
    ~CurlHandle() {
        if (headers) curl_slist_free_all(headers);
        if (h) curl_easy_cleanup(h);
    }
    CurlHandle(const CurlHandle&) = delete;
    CurlHandle& operator=(const CurlHandle&) = delete;
};

}  // namespace quillbox::detail
