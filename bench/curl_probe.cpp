// Starts, initialises libcurl as the URL session does, and ends: the benchmark's measure of
// what linking libcurl alone costs a process's start.
#include <curl/curl.h>

int main() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_global_cleanup();
    return 0;
}
