// The cost of the installer's publisher check in each run of an update, under Wine, next
// to the work the run does on the same file anyway. This program stands in for
// updater.exe and must be signed by the installer's publisher, as the updater is.
//
//     publisher_bench first INSTALLER MD5 [ROUNDS]
//         the first run: the digests of the downloaded installer (MD5 and SHA-256 in one
//         pass) alone, against the same with the signature checks
//     publisher_bench elevated INSTALLER MD5 [ROUNDS]
//         the elevated run: the checked copy (copy_to_protected_folder) alone, against the
//         same with the signature checks
//
// Prints, in milliseconds, the time the checks add: in the first round, which loads
// wintrust.dll and crypt32.dll as each run of the updater does, and the best of ROUNDS
// (default 5).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "integrity/file_digest.h"
#include "trust/protected_copy.h"
#include "trust/publisher.h"
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

struct Times {
    double alone;   // the run's own work on the file
    double checks;  // what the signature checks add to it
};

// Whether this program is signed, as the figures need: an unsigned one checks nothing.
// Read again after the timed part.
bool signed_publisher(trust::OwnPublisherReader& reader) {
    trust::OwnPublisher own;
    reader.get(own);
    return own.state == trust::OwnPublisher::State::kSigned;
}

// As each run does it: the updater's own signature is read on a thread of its own
// (trust::OwnPublisherReader) while the run works on the installer, then the installer is
// checked, on the run's thread while the reader is still at work. `times.checks` is what
// that adds to the work alone. The first run reads its signature while it downloads, which
// takes longer than the digests that stand in for it here: there, the reader has finished
// and the installer's check alone is added.
bool first_run(const char* installer, Times& times) {
    char md5[64] = {0};
    char sha256[128] = {0};
    const double t0 = now_ms();
    if (md5_sha256_file_hex(installer, md5, sha256) < 0) return false;
    const double t1 = now_ms();
    trust::OwnPublisherReader reader;
    if (md5_sha256_file_hex(installer, md5, sha256) < 0) return false;
    const int held = trust::check_installer_publisher(reader, installer, "publisher_bench");
    const double t2 = now_ms();
    times = {t1 - t0, (t2 - t1) - (t1 - t0)};
    return held == 0 && signed_publisher(reader);
}

bool elevated_run(const char* installer, const char* md5, Times& times) {
    double alone = 0;
    {
        trust::ProtectedCopy copy;
        const double t0 = now_ms();
        if (trust::copy_to_protected_folder(installer, md5, copy) < 0) return false;
        alone = now_ms() - t0;
    }
    trust::ProtectedCopy copy;
    const double t1 = now_ms();
    trust::OwnPublisherReader reader;
    if (trust::copy_to_protected_folder(installer, md5, copy) < 0) return false;
    const int held = trust::check_installer_publisher(reader, copy.path(), "publisher_bench");
    const double t2 = now_ms();
    times = {alone, (t2 - t1) - alone};
    return held == 0 && signed_publisher(reader);
}

}  // namespace

int main(int argc, char** argv) {
    const bool first = argc >= 4 && std::strcmp(argv[1], "first") == 0;
    if (argc < 4 || (!first && std::strcmp(argv[1], "elevated") != 0)) {
        std::fprintf(stderr, "usage: publisher_bench first|elevated INSTALLER MD5 [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 4 ? std::max(1, std::atoi(argv[4])) : 5;
    Times cold{}, best{1e30, 1e30};
    for (int round = 0; round < rounds; ++round) {
        Times times{};
        if (!(first ? first_run(argv[2], times) : elevated_run(argv[2], argv[3], times))) {
            std::fprintf(stderr, "publisher_bench: sign this program and the installer alike\n");
            return 1;
        }
        if (round == 0) cold = times;
        best.alone = std::min(best.alone, times.alone);
        best.checks = std::min(best.checks, times.checks);
    }
    std::printf(
        "%s run: %s alone %.0f ms; the signature checks add %.0f ms in the first round, "
        "%.0f ms at best of %d\n",
        first ? "first" : "elevated", first ? "digests" : "checked copy", best.alone, cold.checks,
        best.checks, rounds);
    return 0;
}
