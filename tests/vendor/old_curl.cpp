// libcurl as RHEL 8 has it, for the tests: a libcurl.so.4 that says it is 7.61.0 and has no
// curl_multi_poll or curl_multi_wakeup (both came with 7.68), in front of the real library.
// Each call of curl_multi_wait is counted into the file $OLD_CURL_WAITS, one byte a call.
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

namespace {

void* real() {
    static void* const handle = ::dlopen("libcurl-gnutls.so.4", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) std::abort();
    return handle;
}

template <typename Fn>
Fn find(const char* name) {
    void* fn = ::dlsym(real(), name);
    if (fn == nullptr) std::abort();
    return reinterpret_cast<Fn>(fn);
}

// Forwards a call to the real function of the same name.
#define BI_FORWARD(ret, name, params, args)                             \
    extern "C" __attribute__((visibility("default"))) ret name params { \
        static const auto fn = find<ret(*) params>(#name);              \
        return fn args;                                                 \
    }

}  // namespace

BI_FORWARD(CURLcode, curl_global_init, (long flags), (flags))
BI_FORWARD(CURL*, curl_easy_init, (), ())
BI_FORWARD(void, curl_easy_cleanup, (CURL * easy), (easy))
BI_FORWARD(const char*, curl_easy_strerror, (CURLcode code), (code))
BI_FORWARD(CURLM*, curl_multi_init, (), ())
BI_FORWARD(CURLMcode, curl_multi_add_handle, (CURLM * multi, CURL* easy), (multi, easy))
BI_FORWARD(CURLMcode, curl_multi_remove_handle, (CURLM * multi, CURL* easy), (multi, easy))
BI_FORWARD(CURLMcode, curl_multi_perform, (CURLM * multi, int* running), (multi, running))
BI_FORWARD(CURLMsg*, curl_multi_info_read, (CURLM * multi, int* queued), (multi, queued))
BI_FORWARD(CURLMcode, curl_multi_cleanup, (CURLM * multi), (multi))
BI_FORWARD(curl_slist*, curl_slist_append, (curl_slist * list, const char* text), (list, text))
BI_FORWARD(void, curl_slist_free_all, (curl_slist * list), (list))

// One argument after the option or the info, of a type that travels as a 64-bit word.
extern "C" __attribute__((visibility("default"))) CURLcode curl_easy_setopt(CURL* easy, CURLoption option, ...) {
    static const auto fn = find<CURLcode (*)(CURL*, CURLoption, ...)>("curl_easy_setopt");
    va_list args;
    va_start(args, option);
    void* value = va_arg(args, void*);
    va_end(args);
    return fn(easy, option, value);
}

extern "C" __attribute__((visibility("default"))) CURLcode curl_easy_getinfo(CURL* easy, CURLINFO info, ...) {
    static const auto fn = find<CURLcode (*)(CURL*, CURLINFO, ...)>("curl_easy_getinfo");
    va_list args;
    va_start(args, info);
    void* value = va_arg(args, void*);
    va_end(args);
    return fn(easy, info, value);
}

extern "C" __attribute__((visibility("default"))) CURLMcode curl_multi_wait(CURLM* multi, curl_waitfd* fds,
                                                                            unsigned count, int timeoutMs, int* ready) {
    static const auto fn = find<CURLMcode (*)(CURLM*, curl_waitfd*, unsigned, int, int*)>("curl_multi_wait");
    if (const char* log = std::getenv("OLD_CURL_WAITS")) {
        const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0 && ::write(fd, ".", 1) == 1) ::close(fd);
    }
    return fn(multi, fds, count, timeoutMs, ready);
}

extern "C" __attribute__((visibility("default"))) curl_version_info_data* curl_version_info(CURLversion age) {
    static curl_version_info_data old = [age] {
        curl_version_info_data data = *find<curl_version_info_data* (*)(CURLversion)>("curl_version_info")(age);
        data.version = "7.61.0";
        data.version_num = 0x073d00;
        return data;
    }();
    return &old;
}
