// Outside Windows there are no system proxy settings to read: the environment decides.
#include <cstdlib>

#include "download/proxy.h"

ProxyChoice choose_proxy(const std::string& url) {
    ProxyChoice choice{"", "direct: no proxy set"};
    proxy_from_environment(
        url, [](const char* name) -> const char* { return std::getenv(name); }, choice);
    log_proxy_choice(url, choice);
    return choice;
}
