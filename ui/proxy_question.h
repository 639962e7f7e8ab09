// The console's question for a proxy's user name and password, asked on the controlling
// terminal (/dev/tty), the password without echo. Without a terminal nothing is asked. The
// caller stops drawing on the terminal while it asks, and keeps SIGINT from ending the process
// (the installer's signal watch), so that the echo is always given back.
#pragma once

#include <optional>
#include <string>

namespace bi::ui {

struct ProxyLogin {
    std::string user;
    std::string password;  // the caller wipes it once handed on
};

// Overwrites the user name and password, then empties them.
void wipeLogin(ProxyLogin& login);

// Whether there is a terminal to ask on.
bool canAskOnTerminal();

// Asks for the user name and password of the proxy server `host`; `refused` of them were not
// accepted before (said first). nullopt without a terminal, for an empty user name, at the end
// of input (Ctrl-D), or once `cancelFd` (-1 for none) becomes readable.
std::optional<ProxyLogin> askProxyLoginOnTerminal(const std::string& host, int refused, int cancelFd = -1);

}  // namespace bi::ui
