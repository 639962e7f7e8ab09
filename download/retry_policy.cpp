#include "download/retry_policy.h"

#include <algorithm>
#include <ctime>

namespace bi {

namespace {

using TransferErrorKind = net::TransferErrorKind;

constexpr long kLongestRetryAfter = 30;

// Retry-After as seconds or as an HTTP date; nullopt when it is neither.
std::optional<long> secondsToWait(const std::string& value) {
    if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
        return value.size() > 6 ? 999999 : std::stol(value);
    }
    tm date{};
    const char* end = ::strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
    if (end == nullptr || *end != '\0') return std::nullopt;
    const long wait = static_cast<long>(::timegm(&date) - std::time(nullptr));
    return wait < 0 ? 0 : wait;
}

}  // namespace

bool isTransientStatus(long status) {
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

bool isUnreachable(const net::TransferError& error) {
    return error.kind == TransferErrorKind::Refused || error.kind == TransferErrorKind::UnknownHost ||
           error.kind == TransferErrorKind::ProxyUnreachable || error.kind == TransferErrorKind::NoPacRunner ||
           (error.kind == TransferErrorKind::TimedOut && !error.responded);
}

bool isTransientError(const net::TransferError& error, bool reachedBefore) {
    if (error.kind == TransferErrorKind::ConnectionLost) return true;
    if (isUnreachable(error)) return reachedBefore;
    return error.kind == TransferErrorKind::TimedOut;
}

std::chrono::milliseconds retryWait(int next, const std::optional<std::string>& retryAfter, double scale) {
    long seconds = 1L << std::max(0, next - 2);
    if (retryAfter) {
        // A server that asks for longer is waited for as long as we ever wait, not ignored.
        if (const auto asked = secondsToWait(*retryAfter)) seconds = std::min(*asked, kLongestRetryAfter);
    }
    return std::chrono::milliseconds(static_cast<long>(static_cast<double>(seconds) * 1000 * scale));
}

}  // namespace bi
