// User names and passwords for proxies that the run was given (asked of the user), in memory
// for the session only: never written anywhere, and wiped when the proxy refuses them and
// when the store goes. libcurl's own copies, made while a request is set up, are its own.
#pragma once

#include <map>
#include <mutex>
#include <string>

namespace bi::net {

// Overwrites a secret's bytes, then empties it.
void wipe(std::string& secret);

class ProxyCredentials {
public:
    ProxyCredentials() = default;
    ~ProxyCredentials();
    ProxyCredentials(const ProxyCredentials&) = delete;
    ProxyCredentials& operator=(const ProxyCredentials&) = delete;

    // For `proxy` as TransferError::proxy names it; the arguments are moved in, not copied.
    void set(const std::string& proxy, std::string&& user, std::string&& password);
    // Copies of those for proxy into user and password (the caller wipes them); false for none.
    bool get(const std::string& proxy, std::string& user, std::string& password) const;
    // The proxy answered 407 to a request that carried them: they are wiped. How many it has
    // refused so far.
    int refuse(const std::string& proxy);
    int refusals(const std::string& proxy) const;

private:
    struct Login {
        std::string user, password;
    };
    mutable std::mutex mutex_;
    std::map<std::string, Login> logins_;
    std::map<std::string, int> refusals_;
};

}  // namespace bi::net
