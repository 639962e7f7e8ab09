#include "net/curl_library.h"

#include <dlfcn.h>

#include <mutex>

namespace bi::net {
namespace {

template <typename Fn>
bool bind(void* handle, const char* name, Fn& fn) {
    fn = reinterpret_cast<Fn>(::dlsym(handle, name));
    return fn != nullptr;
}

bool bindAll(void* h, CurlLibrary& c) {
    return bind(h, "curl_global_init", c.global_init) && bind(h, "curl_easy_init", c.easy_init) &&
           bind(h, "curl_easy_setopt", c.easy_setopt) && bind(h, "curl_easy_getinfo", c.easy_getinfo) &&
           bind(h, "curl_easy_cleanup", c.easy_cleanup) && bind(h, "curl_easy_strerror", c.easy_strerror) &&
           bind(h, "curl_multi_init", c.multi_init) && bind(h, "curl_multi_add_handle", c.multi_add_handle) &&
           bind(h, "curl_multi_remove_handle", c.multi_remove_handle) &&
           bind(h, "curl_multi_perform", c.multi_perform) && bind(h, "curl_multi_info_read", c.multi_info_read) &&
           bind(h, "curl_multi_poll", c.multi_poll) && bind(h, "curl_multi_wakeup", c.multi_wakeup) &&
           bind(h, "curl_multi_cleanup", c.multi_cleanup) && bind(h, "curl_slist_append", c.slist_append) &&
           bind(h, "curl_slist_free_all", c.slist_free_all);
}

const CurlLibrary* load() {
    static CurlLibrary library;
    // Debian and Ubuntu also ship the GnuTLS flavour under a name of its own.
    for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
        void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;
        // curl_multi_poll and curl_multi_wakeup need 7.68 or later.
        if (bindAll(handle, library) && library.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) return &library;
        ::dlclose(handle);
    }
    return nullptr;
}

}  // namespace

TransferErrorKind errorKindOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
            return TransferErrorKind::Refused;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return TransferErrorKind::UnknownHost;
        case CURLE_OPERATION_TIMEDOUT:
            return TransferErrorKind::TimedOut;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
            return TransferErrorKind::Certificate;
        case CURLE_SSL_CACERT_BADFILE:
            return TransferErrorKind::NoCaStore;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED:
            return TransferErrorKind::Tls;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return TransferErrorKind::ConnectionLost;
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return TransferErrorKind::BadUrl;
        case CURLE_TOO_MANY_REDIRECTS:
            return TransferErrorKind::TooManyRedirects;
        case CURLE_WRITE_ERROR:
            return TransferErrorKind::DiskFull;
        default:
            return TransferErrorKind::Other;
    }
}

const CurlLibrary* curlLibrary() {
    // Loaded once and never unloaded: libcurl's TLS libraries do not survive dlclose.
    static const CurlLibrary* const library = load();
    return library;
}

}  // namespace bi::net
