#include "squid.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>

#include "nginx.h"

namespace bi {

namespace testsupport {

Squid::Squid(Auth auth, const std::string& user, const std::string& password) : port_(freeLoopbackPort()) {
    const std::string d = dir_.path();
    // squid will not run as root: it becomes its own user, which must write here.
    std::string runAs;
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("proxy");
        if (pw == nullptr) pw = ::getpwnam("nobody");
        if (pw == nullptr || ::chown(d.c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("no user for squid");
        ::chmod(d.c_str(), 0755);
        runAs = std::string("cache_effective_user ") + pw->pw_name + "\n";
    }
    std::string conf = "http_port 127.0.0.1:" + std::to_string(port_) + "\npid_filename " + d + "/squid.pid\n" +
                       "access_log stdio:" + d + "/access.log\ncache_log " + d + "/cache.log\n" +
                       "cache_store_log none\ncache deny all\ncoredump_dir " + d + "\n" +
                       "shutdown_lifetime 0 seconds\nvisible_hostname bi-test\npinger_enable off\n" +
                       // Names resolve from /etc/hosts; no question leaves the machine.
                       "dns_nameservers 127.0.0.1\n" + runAs;
    if (auth == Auth::None) {
        conf += "http_access allow all\n";
    } else {
        std::string helper;
        if (auth == Auth::Basic) {
            const auto hash = runProcess({"/usr/bin/openssl", "passwd", "-apr1", password});
            writeFile(dir_ / "users", user + ":" + hash.out);
            helper = "basic program /usr/lib/squid/basic_ncsa_auth " + d + "/users";
        } else {
            writeFile(dir_ / "users", user + ":" + password + "\n");
            helper = "digest program /usr/lib/squid/digest_file_auth " + d + "/users";
        }
        const std::string scheme = auth == Auth::Basic ? "basic" : "digest";
        conf += "auth_param " + helper + "\nauth_param " + scheme + " realm bi-test\n" +
                "acl users proxy_auth REQUIRED\nhttp_access allow users\nhttp_access deny all\n";
    }
    writeFile(dir_ / "squid.conf", conf);
    // Its shared memory is named after the service: one name per squid of the machine.
    static std::atomic<int> count{0};
    const std::string service = "bi" + std::to_string(::getpid()) + "n" + std::to_string(++count);
    daemon_ = std::make_unique<Daemon>(
        std::vector<std::string>{"/usr/sbin/squid", "-N", "-n", service, "-f", dir_ / "squid.conf"},
        [this] { return waitForPort(port_, 50); });
    if (!daemon_->ready()) throw std::runtime_error("squid did not start: " + readFile(dir_ / "cache.log"));
}

}  // namespace testsupport

}  // namespace bi
