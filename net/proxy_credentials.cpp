#include "net/proxy_credentials.h"

#include <cstring>

namespace bi::net {

void wipe(std::string& secret) {
    // The whole buffer: a shorter secret may once have been longer.
    secret.resize(secret.capacity());
    // explicit_bzero came after glibc 2.17: a barrier keeps the compiler from dropping the fill.
    std::memset(secret.data(), 0, secret.size());
    asm volatile("" : : "r"(secret.data()) : "memory");
    secret.clear();
}

ProxyCredentials::~ProxyCredentials() {
    for (auto& [proxy, login] : logins_) {
        wipe(login.user);
        wipe(login.password);
    }
}

void ProxyCredentials::set(const std::string& proxy, std::string&& user, std::string&& password) {
    std::lock_guard lock(mutex_);
    Login& login = logins_[proxy];
    wipe(login.user);
    wipe(login.password);
    login.user.swap(user);
    login.password.swap(password);
    // A short secret was copied, not moved: what stays in the caller's buffers goes too.
    wipe(user);
    wipe(password);
}

bool ProxyCredentials::get(const std::string& proxy, std::string& user, std::string& password) const {
    std::lock_guard lock(mutex_);
    const auto it = logins_.find(proxy);
    if (it == logins_.end()) return false;
    user = it->second.user;
    password = it->second.password;
    return true;
}

int ProxyCredentials::refuse(const std::string& proxy) {
    std::lock_guard lock(mutex_);
    if (const auto it = logins_.find(proxy); it != logins_.end()) {
        wipe(it->second.user);
        wipe(it->second.password);
        logins_.erase(it);
    }
    return ++refusals_[proxy];
}

int ProxyCredentials::refusals(const std::string& proxy) const {
    std::lock_guard lock(mutex_);
    const auto it = refusals_.find(proxy);
    return it == refusals_.end() ? 0 : it->second;
}

}  // namespace bi::net
