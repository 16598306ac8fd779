#include "download/http_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <streambuf>

#include "log/log.h"
#include "test_servers.h"
#include "test_support.h"
#include "utils/paths.h"

namespace {

int no_progress(void*, double, double, double, double) { return 0; }

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        TEST_REQUIRES(servers_.load(), "the http_servers fixture");
        ASSERT_EQ(log_open(), 0);
    }

    int fetch(const std::string& url, int64_t resume_from = 0,
              HttpClient::StallLimit stall = HttpClient::kStallLimit) {
        HttpClient client(stall);
        return client.download(url, &body_, resume_from, no_progress, nullptr);
    }

    std::string log_text() { return test::read_text_file(dir_.path() / "update.log"); }

    test::ScopedWorkDir dir_;
    test::Servers servers_;
    std::ostringstream body_;
};

TEST_F(HttpClientTest, WholeAndResumedBodies) {
    const std::string whole = servers_.bytes("small.bin");
    struct Case {
        int64_t resume_from;
        size_t first_byte;
    } cases[] = {
        {0, 0}, {-7, 0}, {5000, 5000}, {static_cast<int64_t>(whole.size()) - 1, whole.size() - 1}};
    for (const Case& c : cases) {
        body_.str("");
        EXPECT_EQ(fetch(servers_.url("http", "/small.bin"), c.resume_from), 0) << c.resume_from;
        EXPECT_TRUE(body_.str() == whole.substr(c.first_byte)) << c.resume_from;
    }
    EXPECT_EQ(log_text(), "");
}

TEST_F(HttpClientTest, ResumingACompleteFileSucceedsWithNothingAppended) {
    const int64_t size = static_cast<int64_t>(servers_.bytes("small.bin").size());
    EXPECT_EQ(fetch(servers_.url("http", "/small.bin"), size), 0);
    EXPECT_EQ(body_.str(), "");
}

TEST_F(HttpClientTest, ErrorAnswersFailAndWriteNothing) {
    for (const char* path : {"/missing.bin", "/error500"}) {
        body_.str("");
        EXPECT_EQ(fetch(servers_.url("http", path)), CURLE_HTTP_RETURNED_ERROR) << path;
        EXPECT_EQ(body_.str(), "") << path;
        // A 416 is success only for a resumed request.
    }
    EXPECT_EQ(fetch(servers_.url("http", "/missing.bin"), 10), CURLE_HTTP_RETURNED_ERROR);
    EXPECT_EQ(body_.str(), "");
    const std::string log = log_text();
    EXPECT_NE(log.find(" WARN  HttpClient::download("), std::string::npos) << log;
    EXPECT_NE(log.find("): Failed to perform the HTTP request for 22\n"), std::string::npos);
}

TEST_F(HttpClientTest, RedirectsUpToFive) {
    EXPECT_EQ(fetch(servers_.url("http", "/r/5")), 0);
    EXPECT_TRUE(body_.str() == servers_.bytes("small.bin"));
    body_.str("");
    EXPECT_EQ(fetch(servers_.url("http", "/r/6")), CURLE_TOO_MANY_REDIRECTS);
    EXPECT_EQ(body_.str(), "");
    EXPECT_NE(log_text().find("): Failed to perform the HTTP request for 47\n"), std::string::npos);
}

TEST_F(HttpClientTest, OnlyHttpAndHttpsAreFetched) {
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/small.bin",
                            "gopher://127.0.0.1/small.bin", "dict://127.0.0.1/x"}) {
        EXPECT_EQ(fetch(url), CURLE_UNSUPPORTED_PROTOCOL) << url;
    }
    // Nor is a redirect followed to a local file.
    EXPECT_EQ(fetch(servers_.url("http", "/to-file")), CURLE_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(body_.str(), "");
}

TEST_F(HttpClientTest, TransferFaults) {
    const std::string whole = servers_.bytes("small.bin");
    // A body cut half-way: what arrived stays written.
    EXPECT_EQ(fetch(servers_.url("fault", "/cut/small.bin")), CURLE_PARTIAL_FILE);
    EXPECT_TRUE(body_.str() == whole.substr(0, whole.size() / 2));
    // A server that ignores Range cannot continue a file.
    body_.str("");
    EXPECT_EQ(fetch(servers_.url("fault", "/norange/small.bin"), 5000), CURLE_RANGE_ERROR);
    EXPECT_EQ(body_.str(), "");
    // A stall, with a shorter limit than the program's 300 seconds.
    body_.str("");
    EXPECT_EQ(fetch(servers_.url("fault", "/stall/small.bin"), 0, {1, 2}),
              CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(body_.str(), whole.substr(0, 1000));
    // Nobody listens on the port of a stopped server.
    EXPECT_EQ(fetch("http://127.0.0.1:1/small.bin"), CURLE_COULDNT_CONNECT);
    const std::string log = log_text();
    for (int code : {18, 33, 28, 7})
        EXPECT_NE(log.find("): Failed to perform the HTTP request for " + std::to_string(code)),
                  std::string::npos)
            << code;
}

// A sink that keeps the body and counts how often it had to start again.
class RecordingSink : public BodySink {
public:
    bool write(const char* data, size_t size) override {
        body.append(data, size);
        return true;
    }
    bool start_again() override {
        body.clear();
        ++restarts;
        return true;
    }
    std::string body;
    int restarts = 0;
};

// A range continues a body only while the server still has the version the bytes came
// from; any other answer replaces what the sink holds, never adds to it.
TEST_F(HttpClientTest, ARangeContinuesOnlyTheSameVersionOfTheBody) {
    const std::string whole = servers_.bytes("small.bin");
    const std::string head = whole.substr(0, 5000);
    std::string etag;
    {
        HttpClient client;
        RecordingSink sink;
        ASSERT_EQ(
            client.download(servers_.url("http", "/small.bin"), &sink, 0, "", no_progress, nullptr),
            0);
        etag = client.last_validator();
        EXPECT_TRUE(client.last_body_from_start());
    }
    // nginx's ETag: strong, quoted.
    ASSERT_GT(etag.size(), 2u);
    EXPECT_EQ(etag.front(), '"');
    const std::string norange = servers_.url("fault", "/norange/small.bin");
    struct Case {
        const char* name;
        std::string url;
        std::string if_range;
        int restarts;
    } cases[] = {
        {"the same ETag", servers_.url("http", "/small.bin"), etag, 0},
        {"no validator: the range as asked", servers_.url("http", "/small.bin"), "", 0},
        {"another ETag", servers_.url("http", "/small.bin"), "\"other\"", 1},
        {"a server that ignores ranges", norange, etag, 1},
    };
    for (const Case& c : cases) {
        HttpClient client;
        RecordingSink sink;
        sink.body = head;
        EXPECT_EQ(client.download(c.url, &sink, 5000, c.if_range, no_progress, nullptr), 0)
            << c.name;
        EXPECT_EQ(sink.restarts, c.restarts) << c.name;
        EXPECT_TRUE(sink.body == whole) << c.name << " " << sink.body.size();
        EXPECT_EQ(client.last_body_from_start(), c.restarts == 1) << c.name;
    }
    // Each start again is logged.
    const std::string log = log_text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

// What names a body's version for a later range: a strong ETag, else a date; a weak ETag
// never; nothing from an error answer.
TEST_F(HttpClientTest, TheValidatorOfABody) {
    struct Case {
        std::string path;
        std::string validator;
    } cases[] = {
        {"/resume-dated/small.bin", "Tue, 01 Dec 2026 09:00:00 GMT"},
        {"/resume-weak/small.bin", ""},
        {"/norange/small.bin", ""},
    };
    for (const Case& c : cases) {
        HttpClient client;
        RecordingSink sink;
        client.download(servers_.url("fault", c.path), &sink, 0, "", no_progress, nullptr);
        EXPECT_EQ(client.last_validator(), c.validator) << c.path;
    }
    HttpClient client;
    RecordingSink sink;
    EXPECT_NE(
        client.download(servers_.url("http", "/missing.bin"), &sink, 0, "", no_progress, nullptr),
        0);
    EXPECT_EQ(client.last_validator(), "");
}

// Takes `room` bytes, then fails like a full disk.
class FullDisk : public std::streambuf {
public:
    explicit FullDisk(size_t room) : room_(room) {}
    size_t taken = 0;

protected:
    std::streamsize xsputn(const char*, std::streamsize count) override {
        const std::streamsize accepted =
            std::min<std::streamsize>(count, static_cast<std::streamsize>(room_ - taken));
        taken += static_cast<size_t>(accepted);
        return accepted;
    }
    int_type overflow(int_type) override { return traits_type::eof(); }

private:
    size_t room_;
};

TEST_F(HttpClientTest, AStreamThatRefusesBytesEndsTheTransfer) {
    FullDisk disk(20000);
    std::ostream out(&disk);
    HttpClient client;
    EXPECT_EQ(client.download(servers_.url("http", "/large.bin"), &out, 0, no_progress, nullptr),
              CURLE_WRITE_ERROR);
    EXPECT_EQ(disk.taken, 20000u);

    HttpClient no_stream;
    EXPECT_EQ(
        no_stream.download(servers_.url("http", "/small.bin"), nullptr, 0, no_progress, nullptr),
        CURLE_WRITE_ERROR);
    EXPECT_NE(log_text().find("): Failed to perform the HTTP request for 23\n"), std::string::npos);
}

TEST_F(HttpClientTest, ProgressCallbackSeesTheTransfer) {
    struct Seen {
        int calls = 0;
        double total = 0, received = 0;
    } seen;
    HttpClient client;
    EXPECT_EQ(client.download(
                  servers_.url("http", "/small.bin"), &body_, 0,
                  [](void* data, double total, double received, double, double) {
                      Seen& s = *static_cast<Seen*>(data);
                      ++s.calls;
                      s.total = total;
                      s.received = received;
                      return 0;
                  },
                  &seen),
              0);
    EXPECT_GT(seen.calls, 0);
    EXPECT_EQ(seen.total, 65536.0);
    EXPECT_EQ(seen.received, 65536.0);
}

TEST_F(HttpClientTest, LibcurlIsInitialisedWhileAClientLives) {
    EXPECT_EQ(HttpClient::global_init_count, 0);
    {
        HttpClient first;
        EXPECT_EQ(HttpClient::global_init_count, 1);
        {
            HttpClient second;
            EXPECT_EQ(HttpClient::global_init_count, 2);
            EXPECT_EQ(second.download(servers_.url("http", "/small.bin"), &body_, 0, no_progress,
                                      nullptr),
                      0);
        }
        EXPECT_EQ(HttpClient::global_init_count, 1);
        body_.str("");
        EXPECT_EQ(
            first.download(servers_.url("http", "/small.bin"), &body_, 0, no_progress, nullptr), 0);
    }
    EXPECT_EQ(HttpClient::global_init_count, 0);
}

#ifdef _WIN32
// Wine's Schannel accepts any server certificate: certificate checks are tested in the
// native build; under Wine this shows that TLS transfers work.
TEST_F(HttpClientTest, HttpsTransfersWork) {
    EXPECT_EQ(fetch(servers_.url("https", "/small.bin")), 0);
    EXPECT_TRUE(body_.str() == servers_.bytes("small.bin"));
}

// What began over https is never continued in clear text; the other way is followed.
TEST_F(HttpClientTest, HttpsIsNeverRedirectedToHttp) {
    const std::string to_http = servers_.url("https", "/to-http/small.bin");
    // The same with credentials, which the log masks in both addresses.
    std::string with_credentials = to_http;
    with_credentials.insert(with_credentials.find("://") + 3, "user:secret@");
    // And a redirect whose target carries credentials.
    const std::string to_http_as_user = servers_.url("https", "/to-http-as-user/small.bin");
    struct Case {
        std::string url;
        int result;
    } cases[] = {
        {to_http, CURLE_UNSUPPORTED_PROTOCOL},
        {with_credentials, CURLE_UNSUPPORTED_PROTOCOL},
        {to_http_as_user, CURLE_UNSUPPORTED_PROTOCOL},
        {servers_.url("http", "/to-https/small.bin"), 0},
        {servers_.url("https", "/to-https/small.bin"), 0},
    };
    for (const Case& c : cases) {
        body_.str("");
        EXPECT_EQ(fetch(c.url), c.result) << c.url;
        EXPECT_TRUE(body_.str() == (c.result == 0 ? servers_.bytes("small.bin") : "")) << c.url;
    }
    // One line for each refusal names both addresses, without the credentials.
    const std::string log = log_text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_EQ(log.find(" WARN  HttpClient::download("), 19u) << log;
    EXPECT_NE(log.find("): Refused the redirect from " + to_http + " to " +
                       servers_.url("http", "/small.bin") +
                       ": a download over https does not go on over http.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(
        log.find("): Refused the redirect from " + utils::redact_credentials(with_credentials)),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("): Refused the redirect from " + to_http_as_user + " to http://***@" +
                       servers_.url("http", "/small.bin").substr(7)),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
}
#else
TEST_F(HttpClientTest, HttpsChecksCertificates) {
    EXPECT_EQ(fetch(servers_.url("untrusted", "/small.bin")), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(body_.str(), "");
    // The test CA is trusted only where the test runs with a CA bundle holding it
    // mounted over the system's (HttpClientTest.HttpsTrustedCa in tests/CMakeLists.txt).
    const int trusted = fetch(servers_.url("https", "/small.bin"));
    if (std::getenv("UPDATER_TEST_CA_MOUNTED") != nullptr) {
        EXPECT_EQ(trusted, 0);
        EXPECT_TRUE(body_.str() == servers_.bytes("small.bin"));
    } else {
        EXPECT_EQ(trusted, CURLE_PEER_FAILED_VERIFICATION);
    }
}
#endif

}  // namespace
