// The download phase behind proxies under Wine: the user's Internet settings written the
// way Windows stores them, tinyproxy proxies and a proxy script served by nginx (all from
// the http_servers fixture), and the environment that overrides the settings.
#include <gtest/gtest.h>
#include <winsock2.h>

#include <cstring>
#include <memory>
#include <vector>

#include "child_main.h"
#include "driver/phases.h"
#include "status_lines.h"
#include "system_call_override.h"
#include "utils/text.h"
#include "win_process.h"

namespace {

namespace fs = std::filesystem;
using test::count_lines;
using test::notices_of;

// The download phase, with the elevated restart refused so that the run ends after the
// download: "Failed to start the install phase." is then its only notice. Each wait between
// attempts is a hundredth as long: where the attempts lead is the same whatever they wait.
TEST_CHILD(download_only) {
    g_wait_scale = 0.01;
    test::SystemCallOverride refuse(&utils::SystemCalls::shell_execute_w,
                                    &test::refused_shell_execute);
    return test::run_updater_main(arguments);
}

const wchar_t* const kConnections =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// The user's proxy settings as Windows keeps them: the binary value
// DefaultConnectionSettings, 0x46, a counter, the flags, then the proxy, the bypass list
// and the script URL, each an ANSI text after its length. Removed again at the end.
class ScopedConnectionSettings {
public:
    enum Flags : DWORD { kDirect = 1, kProxy = 2, kScript = 4, kAutoDetect = 8 };

    ScopedConnectionSettings(DWORD flags, const std::string& proxy, const std::string& bypass,
                             const std::string& script) {
        std::string value;
        auto put_dword = [&value](DWORD number) {
            value.append(reinterpret_cast<const char*>(&number), sizeof number);
        };
        put_dword(0x46);
        put_dword(1);
        put_dword(flags);
        for (const std::string* text : {&proxy, &bypass, &script}) {
            put_dword(static_cast<DWORD>(text->size()));
            value += *text;
        }
        value.append(32, '\0');  // fields that follow on Windows, unused here
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            return;
        ok_ = RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                             reinterpret_cast<const BYTE*>(value.data()),
                             static_cast<DWORD>(value.size())) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~ScopedConnectionSettings() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kConnections, L"DefaultConnectionSettings");
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

class Proxy : public test::UpdaterProcessTest {
protected:
    void SetUp() override {
        UpdaterProcessTest::SetUp();
        TEST_REQUIRES(have_servers_, "the http_servers fixture");
    }

    // One download phase from a fresh start; its exit code. Its standard output goes to
    // out_, its log to log_.
    DWORD run(const std::string& url) {
        fs::remove_all(update_folder_);
        test::remove_update_logs(app_);
        const DWORD code = run_in_app(test::quoted(test::own_path()) + L" --child=download_only " +
                                      widen(url) + L" " + widen(md5_));
        log_ = log();
        return code;
    }

    std::string proxy_log(const std::string& name) {
        return test::read_text_file(servers_.fixture_file(name + ".log"));
    }
    std::string port(const char* server) { return servers_.value(std::string(server) + "_port"); }
    std::string address(const char* server) { return "127.0.0.1:" + port(server); }

    std::string log_;
};

TEST_F(Proxy, TheUsersSettingsAndTheEnvironmentChooseTheRoute) {
    using S = ScopedConnectionSettings;
    const std::string http = servers_.url("http", "/small.bin?case=");
    const std::string https = servers_.url("https", "/small.bin?case=");
    const std::string script = servers_.url("http", "/proxy.pac");
    const std::string user = servers_.value("proxy_user");
    const std::string password = servers_.value("proxy_password");
    const std::string dead = "127.0.0.1:1";
    const std::string connect = "CONNECT 127.0.0.1:" + port("https") + " ";
    struct Case {
        const char* name;
        DWORD flags;
        std::string proxy, bypass, script;
        const wchar_t* variable;  // set to `value` for the run, or null
        std::string value;
        std::string url;
        const char* proxy_log;  // the proxy that must have seen the request, or null
        std::string request;    // its log line; "" for the URL's GET
        std::string info;       // part of the INFO line
        std::string warning;    // part of the WARN line, "" for none
    } cases[] = {
        {"fixed proxy", S::kDirect | S::kProxy, address("proxy"), "", "", nullptr, "",
         http + "fixed", "proxy", "", address("proxy") + " (fixed setting)", ""},
        {"fixed proxy, https", S::kDirect | S::kProxy, address("proxy"), "", "", nullptr, "",
         https + "fixed", "proxy", connect, address("proxy") + " (fixed setting)", ""},
        {"per-scheme setting", S::kDirect | S::kProxy,
         "http=" + dead + ";https=" + address("proxy"), "", "", nullptr, "", https + "per-scheme",
         "proxy", connect, address("proxy") + " (fixed setting)", ""},
        {"bypass list", S::kDirect | S::kProxy, dead, "example.com;127.0.0.*", "", nullptr, "",
         http + "bypass", nullptr, "", "none (bypass list of the fixed setting)", ""},
        {"script, through the proxy", S::kDirect | S::kScript, "", "", script, nullptr, "",
         http + "script-proxy", "proxy", "", address("proxy") + " (script " + script + ")", ""},
        {"script, direct", S::kDirect | S::kScript, "", "", script, nullptr, "",
         servers_.url("http", "/small.bin?case=script-direct")
             .replace(7, std::strlen("127.0.0.1"), "localhost"),
         nullptr, "", "none (script " + script + " answered DIRECT)", ""},
        {"script that cannot be fetched", S::kDirect | S::kScript | S::kProxy, address("proxy"), "",
         "http://127.0.0.1:1/proxy.pac", nullptr, "", http + "script-dead", nullptr, "",
         "none (direct: the proxy script failed)",
         "): Failed to run the proxy script http://127.0.0.1:1/proxy.pac: error "},
        // The script server sends a start and then nothing: the run goes on within seconds.
        {"script that never arrives whole", S::kDirect | S::kScript, "", "",
         servers_.url("fault", "/stall/small.bin"), nullptr, "", http + "script-stalled", nullptr,
         "", "none (direct: no answer from the proxy script in time)",
         "): The proxy script gave no answer within 5 s; going direct."},
        {"auto-detection that finds no script", S::kDirect | S::kAutoDetect, "", "", "", nullptr,
         "", http + "detect", nullptr, "", "none (direct: auto-detection found no script)", ""},
        {"Basic authentication", S::kDirect | S::kProxy,
         user + ":" + password + "@" + address("proxy_auth"), "", "", nullptr, "", http + "basic",
         "proxy-auth", "", "***@" + address("proxy_auth") + " (fixed setting)", ""},
        {"https_proxy wins", S::kDirect | S::kProxy, dead, "", "", L"https_proxy", address("proxy"),
         https + "environment", "proxy", connect, address("proxy") + " (environment: https_proxy)",
         ""},
        {"no_proxy wins", S::kDirect | S::kProxy, dead, "", "", L"no_proxy", "127.0.0.1",
         http + "no-proxy", nullptr, "", "none (environment: no_proxy names the host)", ""},
    };
    for (const Case& c : cases) {
        S settings(c.flags, c.proxy, c.bypass, c.script);
        ASSERT_TRUE(settings.ok());
        std::unique_ptr<test::ScopedVariable> variable;
        if (c.variable != nullptr)
            variable = std::make_unique<test::ScopedVariable>(c.variable, widen(c.value));
        const size_t connects_before = count_lines(proxy_log("proxy"), connect);
        const std::string marker = c.url.substr(c.url.find("?case="));

        EXPECT_EQ(run(c.url), 0xffffffffu) << c.name;
        EXPECT_EQ(notices_of(out_),
                  std::vector<std::string>{"1, Failed to start the install phase.;"})
            << c.name << "\n"
            << out_;
        EXPECT_EQ(count_lines(log_, "choose_proxy("), c.warning.empty() ? 1u : 2u) << log_;
        EXPECT_EQ(count_lines(log_, " INFO  choose_proxy("), 1u) << log_;
        EXPECT_EQ(count_lines(log_, "): Proxy for " + c.url + ": " + c.info), 1u) << c.name << "\n"
                                                                                  << log_;
        if (!c.warning.empty()) {
            EXPECT_EQ(count_lines(log_, " WARN  choose_proxy("), 1u) << log_;
            EXPECT_EQ(count_lines(log_, c.warning), 1u) << c.name << "\n" << log_;
        }
        const std::string proxies = proxy_log("proxy") + proxy_log("proxy-auth");
        if (c.proxy_log == nullptr) {
            EXPECT_EQ(proxies.find(marker), std::string::npos) << c.name;
        } else if (c.request.empty()) {
            // A proxy that asks for credentials sees the request twice: without them first.
            EXPECT_GE(count_lines(proxy_log(c.proxy_log), "GET " + c.url + " HTTP/1.1"), 1u)
                << c.name;
        } else {
            EXPECT_EQ(count_lines(proxy_log("proxy"), connect), connects_before + 1) << c.name;
        }
        // Credentials of the setting are used, never shown.
        for (const std::string& text : {log_, out_}) {
            EXPECT_EQ(text.find(password), std::string::npos) << c.name;
            EXPECT_EQ(text.find(user + ":"), std::string::npos) << c.name;
        }
    }
}

// True once something accepts connections on the loopback `port`, within `timeout_ms`.
bool wait_for_port(int port, int timeout_ms) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = false;
    for (int waited = 0; !open && waited <= timeout_ms; waited += 50) {
        const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        open = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        closesocket(probe);
        if (!open) Sleep(50);
    }
    WSACleanup();
    return open;
}

// A proxy that is down is a failed attempt like any other; started, it serves the next
// run. The installer's URL carries credentials, which are used but never shown.
TEST_F(Proxy, ADeadProxyFailsEveryAttemptAndServesOnceStarted) {
    using S = ScopedConnectionSettings;
    const std::string secret = "url-s3cret";
    const std::string url =
        "http://updates:" + secret + "@127.0.0.1:" + port("http") + "/small.bin?case=late";
    const std::string shown = "http://***@127.0.0.1:" + port("http") + "/small.bin?case=late";
    const std::string path = update_folder_ + "\\small.bin.exe";
    const std::string late = servers_.fixture_file("proxy-late.on");
    S settings(S::kDirect | S::kProxy, address("proxy_late"), "", "");
    ASSERT_TRUE(settings.ok());
    fs::remove(late);
    ASSERT_FALSE(wait_for_port(std::stoi(port("proxy_late")), 0));

    EXPECT_EQ(run(url), 0xffffffffu);
    std::vector<std::string> expected =
        test::failed_attempts("Couldn't connect to server", path, shown);
    expected.push_back("1, Failed to download file with correct hash(md5/sha1).;");
    EXPECT_EQ(notices_of(out_), expected) << out_;
    EXPECT_EQ(count_lines(log_, "): Failed to download " + path + " from " + shown), 6u) << log_;
    EXPECT_EQ(count_lines(log_, "): Proxy for " + shown + ": " + address("proxy_late") +
                                    " (fixed setting)."),
              1u)
        << log_;
    EXPECT_EQ(log_.find(secret), std::string::npos) << log_;
    EXPECT_EQ(out_.find(secret), std::string::npos) << out_;

    test::write_file(late, "");
    const bool started = wait_for_port(std::stoi(port("proxy_late")), 10000);
    if (started) {
        EXPECT_EQ(run(url), 0xffffffffu);
        EXPECT_EQ(notices_of(out_),
                  std::vector<std::string>{"1, Failed to start the install phase.;"})
            << out_;
        EXPECT_EQ(count_lines(proxy_log("proxy-late"),
                              "GET http://127.0.0.1:" + port("http") + "/small.bin?case=late "),
                  1u);
        EXPECT_EQ(log_.find(secret), std::string::npos) << log_;
    }
    fs::remove(late);
    EXPECT_TRUE(started);
}

}  // namespace
