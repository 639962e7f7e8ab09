// libcurl, loaded at run time like the window plug-in: the installer starts, and takes its
// shipped archive, on machines without it, and does not depend on one distribution's name
// for the library.
#pragma once

#include <curl/curl.h>

#include "net/url_session.h"

namespace bi::net {

// The libcurl functions the URL session uses.
struct CurlLibrary {
    CURLcode (*global_init)(long flags);
    CURL* (*easy_init)();
    CURLcode (*easy_setopt)(CURL* easy, CURLoption option, ...);
    CURLcode (*easy_getinfo)(CURL* easy, CURLINFO info, ...);
    void (*easy_cleanup)(CURL* easy);
    const char* (*easy_strerror)(CURLcode code);
    CURLM* (*multi_init)();
    CURLMcode (*multi_add_handle)(CURLM* multi, CURL* easy);
    CURLMcode (*multi_remove_handle)(CURLM* multi, CURL* easy);
    CURLMcode (*multi_perform)(CURLM* multi, int* running);
    CURLMsg* (*multi_info_read)(CURLM* multi, int* queued);
    CURLMcode (*multi_wait)(CURLM* multi, curl_waitfd* fds, unsigned count, int timeoutMs, int* ready);
    // Null before 7.68: MultiHandle then waits with multi_wait and a pipe of its own.
    CURLMcode (*multi_poll)(CURLM* multi, curl_waitfd* fds, unsigned count, int timeoutMs, int* ready);
    CURLMcode (*multi_wakeup)(CURLM* multi);
    CURLMcode (*multi_cleanup)(CURLM* multi);
    curl_slist* (*slist_append)(curl_slist* list, const char* text);
    void (*slist_free_all)(curl_slist* list);
    curl_version_info_data* (*version_info)(CURLversion age);
};

// A multi handle whose wait another thread can end at once: with curl_multi_poll and
// curl_multi_wakeup where libcurl has them, else with curl_multi_wait and a pipe.
class MultiHandle {
public:
    // withPoll false takes the pipe whatever libcurl has (for the tests).
    explicit MultiHandle(bool withPoll = true);
    ~MultiHandle();
    MultiHandle(const MultiHandle&) = delete;
    MultiHandle& operator=(const MultiHandle&) = delete;

    CURLM* get() const { return multi_; }
    // On the thread that drives the transfers: until there is something to do, wake() is
    // called, or timeoutMs have passed.
    void wait(int timeoutMs);
    // From any thread.
    void wake();

private:
    CURLM* multi_ = nullptr;
    bool poll_ = false;
    int pipe_[2] = {-1, -1};
};

// Loads libcurl.so.4, else Debian's libcurl-gnutls.so.4, once, and initialises it; null when
// neither can be loaded (or lacks a function that every libcurl since 7.61 has). Safe from
// any thread.
const CurlLibrary* curlLibrary();

// What a failure of libcurl's is to the installer.
TransferErrorKind errorKindOf(CURLcode code);

// Marks a text for the catalogs; it is translated where it is shown (ui/i18n.h has the
// same marker, which net/ cannot include).
#ifndef N_
#define N_(text) text
#endif

// What a user without libcurl is told to install.
inline constexpr const char* kCurlMissingText =
    N_("This installer needs libcurl to download the installer (package libcurl4 or libcurl).");

}  // namespace bi::net
