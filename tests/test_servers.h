// The HTTP servers that the http_servers fixture started for this test run: their
// ports and the folder of the files they serve (see fixtures/http_servers.py).
#pragma once

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include "test_support.h"

namespace test {

class Servers {
public:
    // False when the fixture did not run (the tests then skip).
    bool load() {
        const char* file = std::getenv("UPDATER_TEST_SERVERS");
        if (file == nullptr) return false;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                values_[line.substr(0, equals)] = line.substr(equals + 1);
        }
        return values_.count("http_port") != 0;
    }

    std::string url(const char* server, const std::string& path) const {
        const bool tls = std::string(server) != "http" && std::string(server) != "fault";
        return std::string(tls ? "https" : "http") +
               "://127.0.0.1:" + values_.at(std::string(server) + "_port") + path;
    }

    // A file of the served folder, as this program can open it.
    std::string file(const std::string& name) const {
        return local(values_.at("www")) + "/" + name;
    }
    std::string bytes(const std::string& name) const { return read_file(file(name)); }
    std::string ca_bundle() const { return local(values_.at("ca_bundle")); }
    // A file of the fixture's own folder (the proxies' logs), as this program can open it.
    std::string fixture_file(const std::string& name) const {
        return local(values_.at("folder")) + "/" + name;
    }
    std::string value(const std::string& key) const { return values_.at(key); }

private:
    // Wine shows the Linux file system as drive Z:.
    static std::string local(const std::string& path) {
#ifdef _WIN32
        return "Z:" + path;
#else
        return path;
#endif
    }

    std::map<std::string, std::string> values_;
};

}  // namespace test
