// Throughput of the file digests against the openssl command (and coreutils' sha256sum
// for the portable SHA-256 engine) on the same file, measured in turns in one run.
//
//     digest_bench FILE [ROUNDS]
//
// Each figure is the best of ROUNDS (default 3). A peer is timed as a whole process,
// less its start-up cost, which is measured on /dev/null. The peers' outputs are
// compared with our texts so that a wrong digest cannot pass for a fast one. Ratios are
// given by wall-clock time (the target applies to it; "!" marks one below target) and
// by CPU time (user + system), which a busy machine disturbs less.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "integrity/file_digest.h"
#include "integrity/sha256.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Times {
    double wall = 1e30;  // seconds
    double cpu = 1e30;   // seconds of user and system time
};

Times best(const Times& a, const Times& b) {
    return {std::min(a.wall, b.wall), std::min(a.cpu, b.cpu)};
}

Times minus(const Times& a, const Times& b) { return {a.wall - b.wall, a.cpu - b.cpu}; }

Times plus(const Times& a, const Times& b) { return {a.wall + b.wall, a.cpu + b.cpu}; }

double cpu_seconds(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double own_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpu_seconds(usage);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "digest_bench: %s\n", what);
    std::exit(1);
}

// Runs `args` with its standard output in `output` and returns its times; a program
// that cannot be run or fails ends the benchmark.
Times run_peer(const std::vector<std::string>& args, std::string& output) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) fail("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const auto start = Clock::now();
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    output.clear();
    char chunk[512];
    for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;) output.append(chunk, got);
    close(fds[0]);
    if (spawned != 0) fail(("cannot run " + args[0]).c_str());
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const Times times{std::chrono::duration<double>(Clock::now() - start).count(),
                      cpu_seconds(usage)};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail((args[0] + " failed").c_str());
    return times;
}

bool output_has(std::string output, const char* digest) {
    for (char& c : output) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return output.find(digest) != std::string::npos;
}

struct Row {
    const char* label;
    Times ours;
    Times peer;  // start-up excluded
    const char* peer_label;
    double target;  // the least wall-clock ratio we accept
};

long peak_kib(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) fail("usage: digest_bench FILE [ROUNDS]");
    const char* path = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    struct stat info {};
    if (stat(path, &info) != 0) fail("cannot stat the file");
    const double mib = static_cast<double>(info.st_size) / (1024.0 * 1024.0);

    std::string output;
    const auto startup = [&](const std::vector<std::string>& args) {
        Times fastest;
        for (int i = 0; i < 5; ++i) fastest = best(fastest, run_peer(args, output));
        return fastest;
    };
    const Times openssl_startup = startup({"openssl", "dgst", "-md5", "/dev/null"});
    const Times sha256sum_startup = startup({"sha256sum", "/dev/null"});
    const long rss_before = peak_kib(RUSAGE_SELF);

    char md5[256], sha256[256], md5_pair[256], sha256_pair[256];
    const auto ours = [](const std::function<int()>& call) {
        return [call] {
            const double cpu = own_cpu_seconds();
            const auto start = Clock::now();
            if (call() < 0) fail("our digest failed");
            return Times{std::chrono::duration<double>(Clock::now() - start).count(),
                         own_cpu_seconds() - cpu};
        };
    };
    const auto peer = [&](std::vector<std::string> args, const char* expected, Times startup) {
        return [&output, args, expected, startup] {
            const Times times = run_peer(args, output);
            if (!output_has(output, expected)) fail("a peer's digest differs from ours");
            return minus(times, startup);
        };
    };

    // Ours and the peer take turns, so that a disturbance hits both alike.
    std::vector<Row> rows;
    const auto measure = [&](const char* label, const std::function<Times()>& our_once,
                             const std::function<Times()>& peer_once, const char* peer_label,
                             double target) {
        Times our_best, peer_best;
        for (int i = 0; i < rounds; ++i) {
            our_best = best(our_best, our_once());
            peer_best = best(peer_best, peer_once());
        }
        rows.push_back({label, our_best, peer_best, peer_label, target});
    };

    // Warm-up: the texts the peers are checked against, and the file in the page cache.
    if (md5_sha256_file_hex(path, md5, sha256) != 0) fail("cannot read the file");

    measure("MD5", ours([&] { return md5_file_hex(path, md5_pair); }),
            peer({"openssl", "dgst", "-md5", path}, md5, openssl_startup), "openssl dgst -md5",
            0.95);
    const Row md5_row = rows.back();
    measure("SHA-256", ours([&] { return sha256_file_hex(path, sha256_pair); }),
            peer({"openssl", "dgst", "-sha256", path}, sha256, openssl_startup),
            "openssl dgst -sha256", 0.9);
    const Row sha256_row = rows.back();
    // The single pass is held against the two separate openssl runs added together.
    const auto pair_once = ours([&] { return md5_sha256_file_hex(path, md5_pair, sha256_pair); });
    Times pair_best;
    for (int i = 0; i < rounds; ++i) pair_best = best(pair_best, pair_once());
    rows.push_back({"MD5 + SHA-256, one pass", pair_best, plus(md5_row.peer, sha256_row.peer),
                    "openssl -md5 + openssl -sha256", 0.9});
    if (std::strcmp(md5_pair, md5) != 0 || std::strcmp(sha256_pair, sha256) != 0)
        fail("the single pass disagrees with the separate digests");
    const Sha256Engine engine = sha256_current_engine();
    sha256_select_engine(Sha256Engine::portable);
    measure("SHA-256, portable engine", ours([&] { return sha256_file_hex(path, sha256_pair); }),
            peer({"sha256sum", path}, sha256, sha256sum_startup), "sha256sum", 1.0);
    sha256_select_engine(engine);
    const long rss_after = peak_kib(RUSAGE_SELF);
    const long rss_peers = peak_kib(RUSAGE_CHILDREN);

    std::printf("file: %s, %.0f MiB, best of %d runs; MiB/s = 2^20 bytes per wall-clock second\n",
                path, mib, rounds);
    std::printf("SHA-256 engine picked by CPUID: %s\n",
                engine == Sha256Engine::x86_sha ? "x86 SHA extensions" : "portable");
    std::printf("%-26s %10s %10s %7s %7s %9s  %s\n", "", "ours MiB/s", "peer MiB/s", "ratio",
                "target", "cpu ratio", "peer");
    for (const Row& row : rows) {
        const double ratio = row.peer.wall / row.ours.wall;
        std::printf("%-26s %10.1f %10.1f %7.3f %6.2f%s %9.3f  %s\n", row.label, mib / row.ours.wall,
                    mib / row.peer.wall, ratio, row.target, ratio >= row.target ? " " : "!",
                    row.peer.cpu / row.ours.cpu, row.peer_label);
    }
    std::printf("peer start-up excluded: openssl %.1f ms, sha256sum %.1f ms\n",
                openssl_startup.wall * 1e3, sha256sum_startup.wall * 1e3);
    std::printf(
        "peak memory (ru_maxrss): ours %.1f MiB after all runs, %.1f MiB before the "
        "first pass over the file; largest peer %.1f MiB\n",
        rss_after / 1024.0, rss_before / 1024.0, rss_peers / 1024.0);
    return 0;
}
