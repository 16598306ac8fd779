// The folder snapshot of the elevated run against the system's own CopyFileW over the same
// tree, under Wine: snapshot_bench <folder> <rounds>. Each round takes a snapshot of the
// folder and removes it, then copies the tree file by file with CopyFileW into a protected
// folder and deletes that; the medians and their ratio are printed.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fs/protected_folder.h"
#include "rollback/folder_snapshot.h"
#include "utils/text.h"
#include "utils/win.h"

namespace {

namespace stdfs = std::filesystem;

double seconds_since(const LARGE_INTEGER& start) {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The peer: the tree copied with CopyFileW, which keeps attributes and the write time.
bool copy_with_copy_file(const stdfs::path& from, const stdfs::path& to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
    for (const auto& entry : stdfs::recursive_directory_iterator(from)) {
        const stdfs::path target = to / stdfs::relative(entry.path(), from);
        const bool done = entry.is_directory()
                              ? CreateDirectoryW(target.c_str(), nullptr)
                              : CopyFileW(entry.path().c_str(), target.c_str(), TRUE);
        if (!done) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: snapshot_bench <folder> <rounds>\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int rounds = std::max(1, std::atoi(argv[2]));
    unsigned long long bytes = 0;
    size_t files = 0;
    for (const auto& entry : stdfs::recursive_directory_iterator(stdfs::u8path(folder))) {
        if (entry.is_directory()) continue;
        bytes += entry.file_size();
        ++files;
    }
    std::vector<double> take;
    std::vector<double> remove;
    std::vector<double> peer;
    std::vector<double> peer_remove;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        rollback::FolderSnapshot snapshot;
        if (rollback::take_folder_snapshot(folder, {}, snapshot) < 0) {
            std::fprintf(stderr, "snapshot bench: the snapshot of %s failed\n", folder.c_str());
            return 1;
        }
        take.push_back(seconds_since(start));
        QueryPerformanceCounter(&start);
        snapshot.remove();
        remove.push_back(seconds_since(start));

        std::wstring holder;
        if (fs::make_protected_folder(holder) < 0) return 1;
        QueryPerformanceCounter(&start);
        if (!copy_with_copy_file(stdfs::u8path(folder), stdfs::path(holder) / L"copy")) {
            std::fprintf(stderr, "snapshot bench: CopyFileW failed: %s", last_error_text().c_str());
            return 1;
        }
        peer.push_back(seconds_since(start));
        QueryPerformanceCounter(&start);
        std::error_code ignored;
        stdfs::remove_all(holder, ignored);
        peer_remove.push_back(seconds_since(start));
    }
    std::printf(
        "snapshot of %s (%zu files, %.1f MiB): take %.3fs, remove %.3fs; CopyFileW peer: copy "
        "%.3fs, remove %.3fs; ratio take/copy %.2f\n",
        folder.c_str(), files, bytes / 1048576.0, median(take), median(remove), median(peer),
        median(peer_remove), median(take) / median(peer));
    return 0;
}
