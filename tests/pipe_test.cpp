// The upgrade pipe with real clients: a client-mode Pipe on a second thread of the test.
#include "frontend/pipe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <regex>
#include <thread>

#include "log/log.h"
#include "test_support.h"
#include "utils/text.h"

#ifdef _WIN32
#include <process.h>
#define test_getpid _getpid
#else
#include <sys/stat.h>
#include <unistd.h>
#define test_getpid getpid
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#ifdef _WIN32
void set_last_error(unsigned long code) { SetLastError(code); }
// What the pipe thread reports when a client has closed its end.
const unsigned long kClientGone = ERROR_NO_DATA;
const unsigned long kRunning[] = {0, ERROR_IO_PENDING};
const unsigned long kBroken[] = {ERROR_BROKEN_PIPE, ERROR_NO_DATA, ERROR_PIPE_NOT_CONNECTED};
const unsigned long kOther[] = {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE};
#else
void set_last_error(unsigned long code) { errno = static_cast<int>(code); }
const unsigned long kClientGone = EPIPE;
const unsigned long kRunning[] = {0, EAGAIN};
const unsigned long kBroken[] = {EPIPE, ECONNRESET, ENOTCONN};
const unsigned long kOther[] = {EACCES, EBADF};
#endif

const char* const kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d WARN  )";

// Polls `done` until it holds or a generous limit passes (a bound against hangs, not a
// measurement).
bool wait_until(const std::function<bool()>& done, milliseconds limit = milliseconds(10000)) {
    return test::wait_until(done, static_cast<int>(limit.count()), 2);
}

long long elapsed_ms(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Ends the process when a block does not finish in time: a hang in the pipe code would
// otherwise hold the test until ctest's limit without saying where.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              std::unique_lock<std::mutex> guard(mutex_);
              if (wake_.wait_for(guard, limit, [this] { return done_; })) return;
              std::fprintf(stderr, "hang: %s did not end within %d s\n", what,
                           static_cast<int>(limit.count()));
              std::fflush(stderr);
              std::_Exit(3);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(log_open(), 0); }

    // Unique per process and test, so that test programs can run side by side.
    static std::string pipe_name(const char* tag) {
        return "\\\\.\\pipe\\updater-pipe-test-" + std::to_string(test_getpid()) + "-" + tag;
    }
    std::string log_text() { return test::read_text_file(dir_.path() / "update.log"); }
    size_t count(const std::string& pattern) {
        const std::string text = log_text();
        const std::regex expression(pattern);
        return static_cast<size_t>(std::distance(
            std::sregex_iterator(text.begin(), text.end(), expression), std::sregex_iterator()));
    }
    // Connects `client` to a running server and waits until the server has taken it.
    static void connect(Pipe& client, Pipe& server) {
        ASSERT_TRUE(wait_until([&] { return client.open() == 0; }));
        ASSERT_TRUE(wait_until([&] { return server.is_connected(); }));
    }

    test::ScopedWorkDir dir_;
};

TEST_F(PipeTest, WithoutClientSendsFailAtOnceAndStopEndsTheWait) {
    const std::string name = pipe_name("alone");
    Pipe server(name);
    ASSERT_EQ(server.open(), 0);
    ASSERT_EQ(server.run(), 0);
    // Time for the thread to begin its wait for a client, which the stop has to end.
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(server.send("x", 1));
    // Sends that waited for a client would take 20 s.
    EXPECT_LT(elapsed_ms(start), 5000);
    {
        Watchdog watchdog(std::chrono::seconds(30), "stop while listening");
        server.stop();
    }
    EXPECT_FALSE(server.send("x", 1));
    EXPECT_EQ(log_text(), "");
    // The stop took the pipe away: a client finds none, which is not worth a line.
    Pipe client(name, false);
    EXPECT_EQ(client.open(), -1);
    EXPECT_EQ(log_text(), "");
}

TEST_F(PipeTest, WrongModeOrMissingPipeFailsQuietly) {
    const std::string name = pipe_name("missing");
    Pipe server(name, true);
    Pipe client(name, false);
    std::string message = "untouched";
    struct Case {
        const char* what;
        std::function<int()> call;
    };
    const Case cases[] = {
        {"client connect to a missing pipe", [&] { return client.connect_to_server(); }},
        {"client open of a missing pipe", [&] { return client.open(); }},
        {"connect_to_server on a server", [&] { return server.connect_to_server(); }},
        {"create_server on a client", [&] { return client.create_server(); }},
        {"run on a client", [&] { return client.run(); }},
        {"receive on a server", [&] { return server.receive(message, 10); }},
        {"receive without connection", [&] { return client.receive(message, 10); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_FALSE(client.is_connected()) << c.what;
        EXPECT_FALSE(server.is_connected()) << c.what;
    }
    EXPECT_EQ(message, "untouched");
    EXPECT_EQ(log_text(), "");
    // None of the calls made a pipe.
    Pipe probe(name, false);
    EXPECT_EQ(probe.open(), -1);
}

TEST_F(PipeTest, ClientReadsLeavesAndTheNextOneIsServed) {
    const std::string name = pipe_name("serve");
    Pipe server(name);
    ASSERT_EQ(server.open(), 0);
    ASSERT_EQ(server.run(), 0);
    // The second message is longer than the client's buffer and arrives in pieces.
    const std::string messages[] = {"0, 1000.000000, 0.000000;", std::string(300, 'm'), "x"};
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Pipe client(name, false, 64);
        connect(client, server);
        if (HasFatalFailure()) return;
        std::string message = "untouched";
        EXPECT_EQ(client.receive(message, 20), -1);
        EXPECT_TRUE(client.is_connected()) << "a time-out keeps the connection";
        EXPECT_EQ(message, "untouched");

        for (const std::string& m : messages)
            EXPECT_TRUE(server.send(m.data(), static_cast<uint32_t>(m.size())));
        for (const std::string& m : messages) {
            EXPECT_EQ(client.receive(message, 5000), static_cast<int>(m.size()));
            EXPECT_EQ(message, m);
        }
        client.stop();
        EXPECT_FALSE(client.is_connected());
        // A send in the moment before the pipe thread notices fails as a broken
        // connection and drops the client.
        ASSERT_TRUE(wait_until([&] {
            if (!server.is_connected()) return true;
            EXPECT_FALSE(server.send("late", 4));
            return false;
        }));
        const std::string before = log_text();
        EXPECT_FALSE(server.send("gone", 4));
        EXPECT_EQ(log_text(), before) << "without a client a send logs nothing";
    }
    server.stop();

    const std::string gone = std::string(
                                 "Pipe::wait_for_connect\\(\\d+\\): Failed on "
                                 "ConnectNamedPipe\\(\\), GLE=") +
                             std::to_string(kClientGone) + "\n";
    const std::string broken = "checkLastError\\(\\d+\\): connection broken with error: [^\n]+\n";
    // Each departure is logged once: by the pipe thread, or by the send that found the
    // client gone and dropped it, after which sends return at once again.
    EXPECT_EQ(count(kStamp + gone) + count(kStamp + broken), 2u) << log_text();
    EXPECT_TRUE(std::regex_match(
        log_text(), std::regex("(" + (kStamp + gone) + "|" + (kStamp + broken) + ")*")))
        << log_text();
}

TEST_F(PipeTest, StopDropsAConnectedClient) {
    const std::string name = pipe_name("drop");
    Pipe server(name);
    ASSERT_EQ(server.open(), 0);
    ASSERT_EQ(server.run(), 0);
    Pipe client(name, false);
    connect(client, server);
    if (HasFatalFailure()) return;
    ASSERT_TRUE(server.send("a", 1));
    {
        Watchdog watchdog(std::chrono::seconds(30), "stop with a client");
        server.stop();
    }
    EXPECT_FALSE(server.is_connected());
    EXPECT_FALSE(server.send("b", 1));
    // Whatever was still unread, the client then finds the connection gone.
    ASSERT_TRUE(wait_until([&] {
        std::string message;
        client.receive(message, 100);
        return !client.is_connected();
    }));
    EXPECT_EQ(log_text(), "") << "a stop is no failure";
    Pipe late(name, false);
    EXPECT_EQ(late.open(), -1);
}

TEST_F(PipeTest, StopCutsAWaitingReceiveShort) {
    const std::string name = pipe_name("reader");
    Pipe server(name);
    ASSERT_EQ(server.open(), 0);
    ASSERT_EQ(server.run(), 0);
    Pipe client(name, false);
    connect(client, server);
    if (HasFatalFailure()) return;
    Watchdog watchdog(std::chrono::seconds(30), "receive after stop");
    int result = 0;
    std::thread reader([&] {
        std::string message;
        result = client.receive(message, 600000);
    });
    std::this_thread::sleep_for(milliseconds(50));
    client.stop();
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(client.is_connected());
    // The server sees the client leave.
    EXPECT_TRUE(wait_until([&] { return !server.is_connected(); }));
}

TEST_F(PipeTest, ClientThatStopsReadingIsDroppedAfterOneSecond) {
    const std::string name = pipe_name("stalled");
    Pipe server(name, true, 1024);
    ASSERT_EQ(server.open(), 0);
    ASSERT_EQ(server.run(), 0);
    Pipe client(name, false);
    connect(client, server);
    if (HasFatalFailure()) return;

    // Fill the pipe until a write cannot finish.
    const std::string message(200, 's');
    int written = 0;
    long long failed_send_ms = 0;
    while (written < 10000) {
        const auto start = Clock::now();
        if (!server.send(message.data(), static_cast<uint32_t>(message.size()))) {
            failed_send_ms = elapsed_ms(start);
            break;
        }
        ++written;
    }
    ASSERT_LT(written, 10000) << "the pipe never filled";
    EXPECT_GT(written, 0);
    EXPECT_GE(failed_send_ms, 900);
    EXPECT_LT(failed_send_ms, 10000);
    EXPECT_FALSE(server.is_connected());
    // The time-out line has no line end of its own.
    const std::string timeout = std::string(kStamp) + "doPipeWait\\(\\d+\\): connection timeout";
    EXPECT_TRUE(std::regex_match(log_text(), std::regex(timeout))) << log_text();

    // The client is gone: later sends fail at once and quietly.
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(server.send(message.data(), 10));
    EXPECT_LT(elapsed_ms(start), 2500);
    EXPECT_TRUE(std::regex_match(log_text(), std::regex(timeout))) << log_text();

    // The client may still read what had arrived; then its connection is over.
    int received = 0;
    std::string got;
    while (client.receive(got, 5000) >= 0) {
        EXPECT_EQ(got, message);
        ++received;
    }
    EXPECT_LE(received, written);
    EXPECT_FALSE(client.is_connected());

    // The pipe thread offers a new instance to the next client.
    Pipe next(name, false);
    connect(next, server);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(server.send("next", 4));
    EXPECT_EQ(next.receive(got, 5000), 4);
    EXPECT_EQ(got, "next");
}

TEST_F(PipeTest, CreateServerOnAValidHandleMakesNoSecondInstance) {
    const std::string name = pipe_name("single");
    Pipe server(name);
    ASSERT_EQ(server.open(), 0);
    EXPECT_EQ(server.create_server(), 0);
    EXPECT_EQ(server.create_server(), 0);
    EXPECT_EQ(log_text(), "");
    // One instance takes one client; another instance would take a second.
    Pipe first(name, false);
    Pipe second(name, false);
    EXPECT_EQ(first.open(), 0);
    EXPECT_EQ(second.open(), -1);
    EXPECT_EQ(count(std::string(kStamp) +
                    "Pipe::connect_to_server\\(\\d+\\): Failed to create named pipe: [^\n]+\n"),
              1u)
        << log_text();
}

TEST_F(PipeTest, StopEndsThePipeThreadInEveryState) {
    const std::string name = pipe_name("cycles");
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int below) {
        return static_cast<int>(random() % static_cast<unsigned>(below));
    };
    Watchdog watchdog(std::chrono::seconds(100), "start/stop cycles");
    for (int cycle = 0; cycle < 300; ++cycle) {
        Pipe server(name);
        // Without open() the thread creates the first instance itself.
        if (pick(2) == 0) {
            ASSERT_EQ(server.open(), 0);
        }
        ASSERT_EQ(server.run(), 0);
        const int client_delay_us = pick(3000);
        const int client_read_ms = pick(3);
        std::thread client_thread([&name, client_delay_us, client_read_ms] {
            std::this_thread::sleep_for(std::chrono::microseconds(client_delay_us));
            Pipe client(name, false);
            std::string message;
            if (client.open() == 0) client.receive(message, static_cast<uint32_t>(client_read_ms));
        });
        switch (cycle % 4) {
            case 0:  // at once: the thread may not have begun
                break;
            case 1:  // at a random moment, sending meanwhile
                for (int i = pick(4); i > 0; --i) server.send("0, 1.0, 0.5;", 12);
                std::this_thread::sleep_for(std::chrono::microseconds(pick(4000)));
                break;
            case 2:  // connected, or listening when the client came too early or late
                wait_until([&] { return server.is_connected(); }, milliseconds(20));
                server.send("0, 1.0, 1.0;", 12);
                break;
            case 3:  // after the client left: often the moment without an instance
                client_thread.join();
                wait_until([&] { return !server.is_connected(); }, milliseconds(150));
                std::this_thread::sleep_for(std::chrono::microseconds(pick(100000)));
                break;
        }
        server.stop();
        EXPECT_FALSE(server.is_connected());
        EXPECT_FALSE(server.send("x", 1));
        if (client_thread.joinable()) client_thread.join();
    }
}

TEST_F(PipeTest, CheckLastErrorClassifiesTheLastError) {
    struct Group {
        const unsigned long* codes;
        size_t size;
        bool running;
        const char* text;
    };
    const Group groups[] = {
        {kRunning, std::size(kRunning), true, nullptr},
        {kBroken, std::size(kBroken), false, "connection broken with error: "},
        {kOther, std::size(kOther), false, "failed to communicate with client: "},
    };
    std::string expected;
    for (const Group& group : groups) {
        for (size_t i = 0; i < group.size; ++i) {
            set_last_error(group.codes[i]);
            const std::string system_text = last_error_text();
            set_last_error(group.codes[i]);
            EXPECT_EQ(checkLastError(), group.running) << group.codes[i];
            if (group.text != nullptr)
                expected +=
                    std::string(kStamp) + "checkLastError\\(\\d+\\): " + group.text +
                    std::regex_replace(system_text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
        }
    }
    const std::string text = log_text();
    EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
}

#ifndef _WIN32
// POSIX: the socket file sits in the user's runtime folder (or /tmp) and exists exactly
// while an instance listens.
TEST_F(PipeTest, SocketFileExistsWhileAnInstanceListens) {
    const std::string runtime = (dir_.path() / "run").string();
    std::filesystem::create_directory(runtime);
    const char* const folders[] = {runtime.c_str(), nullptr};
    for (const char* folder : folders) {
        SCOPED_TRACE(folder != nullptr ? folder : "(unset)");
        if (folder != nullptr)
            setenv("XDG_RUNTIME_DIR", folder, 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        const std::string base = "updater-pipe-test-" + std::to_string(getpid()) + "-file";
        const std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/" + base;
        auto inode = [&]() -> ino_t {
            struct stat status;
            if (lstat(path.c_str(), &status) != 0 || !S_ISSOCK(status.st_mode)) return 0;
            return status.st_ino;
        };

        Pipe server("\\\\.\\pipe\\" + base);
        EXPECT_EQ(inode(), 0u);
        ASSERT_EQ(server.open(), 0);
        const ino_t listening = inode();
        EXPECT_NE(listening, 0u);
        EXPECT_EQ(server.create_server(), 0);
        EXPECT_EQ(inode(), listening) << "a second create_server replaced the instance";
        ASSERT_EQ(server.run(), 0);
        {
            Pipe client("\\\\.\\pipe\\" + base, false);
            connect(client, server);
            if (HasFatalFailure()) return;
            EXPECT_EQ(inode(), 0u) << "taken: no second client can come";
        }
        EXPECT_TRUE(wait_until([&] { return inode() != 0; })) << "a new instance listens";
        server.stop();
        EXPECT_EQ(inode(), 0u);
    }
    unsetenv("XDG_RUNTIME_DIR");
}
#endif

}  // namespace
