#include "net/curl_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

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
           bind(h, "curl_multi_wait", c.multi_wait) && bind(h, "curl_multi_cleanup", c.multi_cleanup) &&
           bind(h, "curl_slist_append", c.slist_append) && bind(h, "curl_slist_free_all", c.slist_free_all) &&
           bind(h, "curl_version_info", c.version_info);
}

// curl_multi_poll and curl_multi_wakeup came with 7.68; an older library that has the names
// anyway (a distribution's backport) is not trusted with them.
void bindPoll(void* h, CurlLibrary& c) {
    constexpr unsigned kPollSince = 0x074400;
    const curl_version_info_data* info = c.version_info(CURLVERSION_FIRST);
    if (info == nullptr || info->version_num < kPollSince || !bind(h, "curl_multi_poll", c.multi_poll) ||
        !bind(h, "curl_multi_wakeup", c.multi_wakeup)) {
        c.multi_poll = nullptr;
        c.multi_wakeup = nullptr;
    }
}

const CurlLibrary* load() {
    static CurlLibrary library;
    // Debian and Ubuntu also ship the GnuTLS flavour under a name of its own.
    for (const char* name : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
        void* handle = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) continue;
        if (bindAll(handle, library) && library.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {
            bindPoll(handle, library);
            return &library;
        }
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

MultiHandle::MultiHandle(bool withPoll) {
    const CurlLibrary* lib = curlLibrary();
    if (lib == nullptr) return;
    poll_ = withPoll && lib->multi_poll != nullptr;
    if (!poll_ && ::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
    multi_ = lib->multi_init();
}

MultiHandle::~MultiHandle() {
    if (multi_ != nullptr) curlLibrary()->multi_cleanup(multi_);
    for (const int fd : pipe_) {
        if (fd >= 0) ::close(fd);
    }
}

void MultiHandle::wait(int timeoutMs) {
    if (multi_ == nullptr) return;
    if (poll_) {
        curlLibrary()->multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
        return;
    }
    curl_waitfd woken{pipe_[0], CURL_WAIT_POLLIN, 0};
    curlLibrary()->multi_wait(multi_, &woken, 1, timeoutMs, nullptr);
    if (woken.revents == 0) return;
    // Every wake-up so far is taken: the caller looks at what changed next.
    char drain[64];
    while (::read(pipe_[0], drain, sizeof drain) > 0) {
    }
}

void MultiHandle::wake() {
    if (multi_ == nullptr) return;
    if (poll_) {
        curlLibrary()->multi_wakeup(multi_);
        return;
    }
    // A full pipe already holds a wake-up.
    const char byte = 1;
    while (::write(pipe_[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

const CurlLibrary* curlLibrary() {
    // Loaded once and never unloaded: libcurl's TLS libraries do not survive dlclose.
    static const CurlLibrary* const library = load();
    return library;
}

}  // namespace bi::net
