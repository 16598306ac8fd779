// The elevated run's work on one installer before anything changes, under Wine: the
// checked copy alone (copy_to_protected_folder, which copies and hashes the installer)
// against the signature checks that follow it (the updater's own signature, read once per
// run, and the installer's, by WinVerifyTrust). Each run of an update makes the signature
// checks once. This program stands in for updater.exe and must be signed by the
// installer's publisher, as the updater is.
//
//     publisher_bench INSTALLER MD5 [ROUNDS]
//
// Prints the best time of ROUNDS (default 5) for each, in milliseconds, and the first
// round's, which loads wintrust.dll and crypt32.dll as each run of the updater does.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "utils/protected_copy.h"
#include "utils/publisher.h"
#include "utils/win.h"

namespace {

double now_ms() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: publisher_bench INSTALLER MD5 [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    double copy_best = 1e30, own_best = 1e30, installer_best = 1e30, first_own = 0,
           first_installer = 0;
    for (int round = 0; round < rounds; ++round) {
        utils::ProtectedCopy copy;
        const double t0 = now_ms();
        if (utils::copy_to_protected_folder(argv[1], argv[2], copy) < 0) {
            std::fprintf(stderr, "publisher_bench: the checked copy failed\n");
            return 1;
        }
        const double t1 = now_ms();
        utils::OwnPublisher own;
        utils::read_own_publisher(own);
        const double t2 = now_ms();
        const int checked = utils::check_installer_publisher(own, copy.path(), "publisher_bench");
        const double t3 = now_ms();
        if (own.state != utils::OwnPublisher::State::kSigned || checked < 0) {
            std::fprintf(stderr, "publisher_bench: sign this program and the installer alike\n");
            return 1;
        }
        if (round == 0) {
            first_own = t2 - t1;
            first_installer = t3 - t2;
        }
        copy_best = std::min(copy_best, t1 - t0);
        own_best = std::min(own_best, t2 - t1);
        installer_best = std::min(installer_best, t3 - t2);
    }
    std::printf(
        "checked copy alone %.0f ms; signature checks %.0f ms (own signature %.0f ms, "
        "installer %.0f ms), best of %d\n",
        copy_best, own_best + installer_best, own_best, installer_best, rounds);
    std::printf(
        "signature checks in the first round, with the libraries loaded: %.0f ms (own "
        "signature %.0f ms, installer %.0f ms)\n",
        first_own + first_installer, first_own, first_installer);
    std::printf("signature checks per update (both runs): %.0f ms\n",
                2 * (own_best + installer_best));
    return 0;
}
