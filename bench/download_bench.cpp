// The download job's speed and memory, from an HTTP server on loopback (scripts/bench
// starts nginx and picks the file).
//
//     download_bench compare URL FOLDER [ROUNDS]
//         download_file with a pipe client connected and reading, against `curl -s -o`,
//         in turns; times, peak resident memory, status lines and pipe messages
//     download_bench pipe-clients URL FOLDER [ROUNDS]
//         download_file with no pipe client, with one that connects and disconnects in a
//         tight loop, and with ten that try at once
//     download_bench compare URL FOLDER ROUNDS PROXY
//         the same through the HTTP proxy PROXY (host:port), chosen by choose_proxy from
//         http_proxy as the download phase does, against `curl -s -x PROXY -o`
//     download_bench download URL PATH [PROXY]
//         one download_file call: the measured process of the modes above
//     download_bench fleet-copy URL PATH policy|fixed SEED
//         one copy of a fleet: up to six attempts of the HTTP client, waiting between
//         them as the program's retry policy says, or two seconds as the rule before it;
//         prints its attempts and whether it got the file (scripts/bench fleet starts
//         fifty at once against nginx's request limit)
//
// Every download runs as its own process, started from FOLDER (its update.log, its
// outputs and the pipe's socket live there), timed from spawn to exit, so that ours and
// curl pay the same start-up and the peak memory (ru_maxrss of that child) is the
// download's own. The pipe clients are threads of this process, as a front end would be
// another process. A watchdog ends the benchmark when a download or a client hangs.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "download/download_file.h"
#include "download/http_client.h"
#include "download/proxy.h"
#include "download/retry_policy.h"
#include "frontend/pipe.h"
#include "log/log.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No single download of the benchmark's file may take longer than this, nor the clients
// longer than kClientLimit to notice that it ended.
constexpr int kDownloadLimitSeconds = 300;
constexpr int kClientLimitSeconds = 30;
// How long a client that found no pipe waits before it tries again (ten clients case).
constexpr auto kRetryPause = milliseconds(1);
constexpr int kClients = 10;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "download_bench: %s\n", what.c_str());
    std::exit(1);
}

// Ends the whole benchmark (and `child`, when above 0) unless disarmed within `seconds`.
class Watchdog {
public:
    Watchdog(std::string what, int seconds, pid_t child = -1)
        : thread_([this, what, seconds, child] {
              std::unique_lock<std::mutex> guard(lock_);
              if (done_.wait_for(guard, std::chrono::seconds(seconds),
                                 [this] { return disarmed_; }))
                  return;
              std::fprintf(stderr, "download_bench: HUNG: %s did not end within %d s\n",
                           what.c_str(), seconds);
              if (child > 0) kill(child, SIGKILL);
              std::_Exit(3);
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            disarmed_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool disarmed_ = false;
    std::thread thread_;  // last: it uses the members above
};

struct Run {
    double wall = 0;  // seconds from spawn to exit
    double cpu = 0;   // user + system seconds of the child
    long maxrss = 0;  // KiB, ru_maxrss of the child
};

double cpu_seconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Runs `args` with standard output and error in the given files and waits for it under
// a watchdog. A program that cannot start or fails ends the benchmark.
Run run_process(const std::vector<std::string>& args, const char* out_path, const char* err_path) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = Clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) fail("cannot run " + args[0]);
    int status = 0;
    rusage usage{};
    {
        Watchdog watchdog(args[0] + " " + args[1], kDownloadLimitSeconds, pid);
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream err(err_path);
        std::stringstream text;
        text << err.rdbuf();
        fail(args[0] + " failed (status " + std::to_string(status) + "): " + text.str());
    }
    return {wall, cpu_seconds(usage), usage.ru_maxrss};
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long long file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

long count_of(const std::string& text, char c) {
    return static_cast<long>(std::count(text.begin(), text.end(), c));
}

// The status lines of one download: how many, and the size the last one reports.
struct StatusLines {
    long records = 0;
    double total = -1;
    double received = -1;
};

StatusLines parse_status_lines(const std::string& out) {
    StatusLines lines;
    size_t at = 0;
    while (at < out.size()) {
        const size_t end = out.find(';', at);
        if (end == std::string::npos) fail("a status line without its ';'");
        if (std::sscanf(out.c_str() + at, "0, %lf, %lf;", &lines.total, &lines.received) != 2)
            fail("not a progress record: " + out.substr(at, end + 1 - at));
        ++lines.records;
        at = end + 1;
    }
    return lines;
}

// One download_file run in a child; checks that it completed into a whole file.
struct Download {
    Run run;
    StatusLines lines;
    long log_lines = 0;  // lines it added to update.log
};

Download download_in_child(const std::string& self, const std::string& url,
                           const std::string& proxy = "") {
    const std::string before = read_all("update.log");
    std::remove("ours.bin");
    Download result;
    std::vector<std::string> args = {self, "download", url, "ours.bin"};
    if (!proxy.empty()) args.push_back(proxy);
    result.run = run_process(args, "stdout.txt", "stderr.txt");
    result.lines = parse_status_lines(read_all("stdout.txt"));
    result.log_lines = count_of(read_all("update.log"), '\n') - count_of(before, '\n');
    if (result.lines.total <= 0 || result.lines.total != result.lines.received ||
        file_size("ours.bin") != static_cast<long long>(result.lines.total))
        fail("download_file did not complete the file");
    return result;
}

// A front end: connects as soon as a server listens and reads every message until the
// server goes, connecting again if it is dropped, until told to stop while not connected.
class ReadingClient {
public:
    ReadingClient() : thread_([this] { run(); }) {}
    ~ReadingClient() { finish(); }

    // After the download process has ended: drains what is left, then ends the thread.
    void finish() {
        stop_ = true;
        if (thread_.joinable()) {
            Watchdog watchdog("the reading pipe client", kClientLimitSeconds);
            thread_.join();
        }
    }
    long messages() const { return messages_; }
    long connections() const { return connections_; }
    const std::string& last() const { return last_; }

private:
    void run() {
        Pipe pipe(kUpgradePipeName, false);
        std::string message;
        for (;;) {
            while (pipe.open() != 0) {
                if (stop_) return;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            ++connections_;
            for (;;) {
                if (pipe.receive(message, 100) >= 0) {
                    ++messages_;
                    last_ = message;
                } else if (!pipe.is_connected()) {
                    break;
                }
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<long> messages_{0};
    std::atomic<long> connections_{0};
    std::string last_;  // read after the join
    std::thread thread_;
};

// Clients that come and go while a download runs; `connections` counts the successful
// connects of all of them.
class ClientCrowd {
public:
    enum Kind { kFlapping, kTenAtOnce };

    explicit ClientCrowd(Kind kind) {
        const int count = kind == kFlapping ? 1 : kClients;
        for (int i = 0; i < count; ++i)
            threads_.emplace_back(
                kind == kFlapping ? &ClientCrowd::flap : &ClientCrowd::wait_and_read, this);
    }
    ~ClientCrowd() { finish(); }

    void finish() {
        stop_ = true;
        Watchdog watchdog("the pipe clients", kClientLimitSeconds);
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }
    long connections() const { return connections_; }
    long messages() const { return messages_; }

private:
    // Connects and disconnects again at once, without pause, also when there is no pipe.
    void flap() {
        while (!stop_) {
            Pipe pipe(kUpgradePipeName, false);
            if (pipe.open() == 0) ++connections_;
        }
    }

    // Tries to connect every kRetryPause; once connected, reads until dropped.
    void wait_and_read() {
        Pipe pipe(kUpgradePipeName, false);
        std::string message;
        while (!stop_) {
            if (pipe.open() != 0) {
                std::this_thread::sleep_for(kRetryPause);
                continue;
            }
            ++connections_;
            for (;;) {
                if (pipe.receive(message, 100) >= 0)
                    ++messages_;
                else if (!pipe.is_connected())
                    break;
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<long> connections_{0};
    std::atomic<long> messages_{0};
    std::vector<std::thread> threads_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double best(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// The peak resident size of this process's current image (KiB), which unlike ru_maxrss
// does not count the launching process's memory at exec.
long own_vm_hwm_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0) return std::atol(line.c_str() + 6);
    return -1;
}

int download_mode(const std::string& url, const std::string& path, const char* proxy) {
    log_open();
    int result = 0;
    if (proxy != nullptr) {
        // As the download phase: the choice once, from the environment here.
        setenv("http_proxy", proxy, 1);
        const ProxyChoice choice = choose_proxy(url);
        if (choice.proxy != proxy) fail("choose_proxy did not pick " + std::string(proxy));
        DownloadOptions options;
        options.proxy = &choice.proxy;
        result = download_file(url, path, false, options);
    } else {
        result = download_file(url, path, false);
    }
    std::fprintf(stderr, "vm_hwm_kib=%ld\n", own_vm_hwm_kib());
    return result == 0 ? 0 : 1;
}

void compare_mode(const std::string& self, const std::string& url, int rounds,
                  const std::string& proxy) {
    const double target = proxy.empty() ? 1.05 : 1.1;
    std::vector<double> ours, ours_cpu, curl, curl_cpu;
    long maxrss = 0, vm_hwm = 0, records = 0, messages = 0, connections = 0, log_lines = 0;
    std::string last_message;
    for (int i = 0; i < rounds; ++i) {
        // Ours and curl take turns, so that a disturbance hits both alike.
        Download download;
        {
            ReadingClient client;
            download = download_in_child(self, url, proxy);
            client.finish();
            messages = std::max(messages, client.messages());
            connections = std::max(connections, client.connections());
            last_message = client.last();
        }
        ours.push_back(download.run.wall);
        ours_cpu.push_back(download.run.cpu);
        maxrss = std::max(maxrss, download.run.maxrss);
        const std::string err = read_all("stderr.txt");
        const size_t hwm = err.find("vm_hwm_kib=");
        if (hwm != std::string::npos) vm_hwm = std::max(vm_hwm, std::atol(err.c_str() + hwm + 11));
        records = std::max(records, download.lines.records);
        log_lines = std::max(log_lines, download.log_lines);

        std::remove("curl.bin");
        std::vector<std::string> curl_args = {"curl", "-s", "-o", "curl.bin", url};
        if (!proxy.empty()) curl_args.insert(curl_args.begin() + 2, {"-x", proxy});
        const Run peer = run_process(curl_args, "curl-stdout.txt", "curl-stderr.txt");
        if (file_size("curl.bin") != static_cast<long long>(download.lines.total))
            fail("curl's file differs in size from ours");
        curl.push_back(peer.wall);
        curl_cpu.push_back(peer.cpu);
    }
    std::remove("ours.bin");
    std::remove("curl.bin");

    rusage self_usage{};
    getrusage(RUSAGE_SELF, &self_usage);
    std::printf("download: %s%s%s, %d rounds each, ours and curl in turns\n", url.c_str(),
                proxy.empty() ? "" : " through the proxy ", proxy.c_str(), rounds);
    std::printf("%-28s %9s %9s %9s\n", "", "median s", "best s", "cpu s");
    std::printf("%-28s %9.3f %9.3f %9.3f\n", "download_file + pipe client", median(ours),
                best(ours), median(ours_cpu));
    std::printf("%-28s %9.3f %9.3f %9.3f\n", proxy.empty() ? "curl -s -o" : "curl -s -x -o",
                median(curl), best(curl), median(curl_cpu));
    const double ratio = median(ours) / median(curl);
    std::printf("ratio ours/curl: %.3f median, %.3f best (target <= %.2f)%s; cpu %.3f\n", ratio,
                best(ours) / best(curl), target, ratio <= target ? "" : "  !",
                median(ours_cpu) / median(curl_cpu));
    std::printf(
        "peak resident memory of the download process: %.1f MiB ru_maxrss, %.1f MiB VmHWM of "
        "its own image (target <= 16)%s; this launcher's ru_maxrss: %.1f MiB\n",
        maxrss / 1024.0, vm_hwm / 1024.0, maxrss <= 16 * 1024 ? "" : "  !",
        self_usage.ru_maxrss / 1024.0);
    std::printf(
        "progress records on standard output, most of one download: %ld (target about 1000 at "
        "most)%s\n",
        records, records <= 1010 ? "" : "  !");
    std::printf(
        "pipe messages received, most of one download: %ld over %ld connection(s); last: \"%s\"\n",
        messages, connections, last_message.c_str());
    std::printf("update.log lines, most of one download: %ld\n", log_lines);
}

void pipe_clients_mode(const std::string& self, const std::string& url, int rounds) {
    struct Variant {
        const char* label;
        std::vector<double> times;
        std::vector<double> cpu;
        long connections = 0;
        long messages = 0;
        long log_lines = 0;
    } variants[] = {{"(a) no pipe client", {}, {}},
                    {"(b) one client, connect/disconnect loop", {}, {}},
                    {"(c) ten clients trying at once", {}, {}}};
    for (int i = 0; i < rounds; ++i) {
        for (int v = 0; v < 3; ++v) {
            Variant& variant = variants[v];
            Download download;
            if (v == 0) {
                download = download_in_child(self, url);
            } else {
                ClientCrowd crowd(v == 1 ? ClientCrowd::kFlapping : ClientCrowd::kTenAtOnce);
                download = download_in_child(self, url);
                crowd.finish();
                variant.connections += crowd.connections();
                variant.messages += crowd.messages();
            }
            variant.times.push_back(download.run.wall);
            variant.cpu.push_back(download.run.cpu);
            variant.log_lines += download.log_lines;
        }
    }
    std::remove("ours.bin");

    std::printf("download_file of %s with pipe clients, %d rounds, variants in turns\n",
                url.c_str(), rounds);
    std::printf("%-40s %9s %9s %7s %9s %9s %9s %7s\n", "", "median s", "best s", "ratio", "cpu s",
                "connects", "messages", "log");
    const double base = median(variants[0].times);
    for (const Variant& variant : variants) {
        const double ratio = median(variant.times) / base;
        std::printf("%-40s %9.3f %9.3f %7.3f %9.3f %9ld %9ld %7ld%s\n", variant.label,
                    median(variant.times), best(variant.times), ratio, median(variant.cpu),
                    variant.connections / rounds, variant.messages / rounds,
                    variant.log_lines / rounds, ratio <= 1.1 ? "" : "  ! (target <= 1.1)");
    }
    std::printf(
        "ratio: median time over (a)'s; cpu: the download process's user + system time; "
        "connects, messages: the pipe clients' per download; log: update.log lines per "
        "download\n");
    std::printf("nothing hung (every download within %d s, every client ended within %d s)\n",
                kDownloadLimitSeconds, kClientLimitSeconds);
}

int no_progress(void*, double, double, double, double) { return 0; }

int fleet_copy_mode(const std::string& url, const std::string& path, const std::string& rule,
                    unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    int attempt = 1;
    bool got = false;
    for (;; ++attempt) {
        HttpClient client;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        got = client.download(url, &out, 0, no_progress, nullptr) == 0;
        if (got) break;
        download::AttemptEnd end;
        if (client.last_status() >= 400) {
            end.kind = download::AttemptEnd::Kind::kStatus;
            end.status = client.last_status();
        }
        bool bad = false;
        end.retry_after =
            download::parse_retry_after(client.last_retry_after(), std::time(nullptr), bad);
        download::NextAttempt next;
        if (rule == "fixed") {
            next.again = attempt < download::kAttempts;
            next.wait_seconds = 2.0;
        } else {
            next = download::next_attempt(attempt, end, uniform(random));
        }
        if (!next.again) break;
        std::this_thread::sleep_for(std::chrono::duration<double>(next.wait_seconds));
    }
    std::printf("attempts=%d got=%d\n", attempt, got ? 1 : 0);
    return got ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fleet-copy" && argc == 6)
        return fleet_copy_mode(argv[2], argv[3], argv[4],
                               static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)));
    if (mode == "download" && (argc == 4 || argc == 5))
        return download_mode(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if ((mode != "compare" && mode != "pipe-clients") || argc < 4)
        fail(
            "usage: download_bench compare|pipe-clients URL FOLDER [ROUNDS [PROXY]] | download URL "
            "PATH [PROXY]");
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) fail("cannot find this program");
    self[length] = '\0';
    if (chdir(argv[3]) != 0) fail(std::string("cannot enter ") + argv[3]);
    // The pipe's socket goes to the runtime folder: a private one, so that no other run of
    // the program or its tests on this machine meets our clients.
    char folder[4096];
    if (getcwd(folder, sizeof folder) == nullptr) fail("no working folder");
    setenv("XDG_RUNTIME_DIR", folder, 1);
    if (mode == "compare")
        compare_mode(self, argv[2], rounds, argc > 5 ? argv[5] : "");
    else
        pipe_clients_mode(self, argv[2], rounds);
    return 0;
}
