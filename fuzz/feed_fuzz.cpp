// libFuzzer target: the release feed's reader and the choice of a release, the code that
// takes the feed's JSON once its signature holds (a publisher's mistake, or a key that
// leaked, still must not crash the updater or let a feed's text out unescaped). The input
// is the feed's JSON. Besides crashes and sanitizer reports, what the reader accepts is
// checked against the rules its header gives, and the choice against its own rules.
//
//     scripts/fuzz feed [SECONDS]
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/release_feed.h"

namespace {

void check(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "%s does not hold\n", rule);
    std::abort();
}

policy::Version version(const char* text) {
    policy::Version parsed;
    policy::parse_version(text, parsed);
    return parsed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    download::ReleaseFeed feed;
    std::string why;
    if (download::parse_release_feed(text, feed, why) < 0) {
        check(!why.empty(), "a rejected feed says why");
        return 0;
    }
    check(feed.expires > feed.issued, "the expiry follows the issue");
    for (const download::FeedRelease& release : feed.releases) {
        check(release.rollout_percent >= 0 && release.rollout_percent <= 100, "rollout range");
        check(release.installer.size > 0 &&
                  release.installer.size <= download::kLargestInstallerBytes,
              "installer size");
        std::string scheme = release.installer.url.substr(0, 8);
        for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        check(scheme == "https://" && release.installer.url.size() > 8, "an https address");
        check(release.installer.sha256.size() == 64 && release.installer.md5.size() == 32,
              "digest lengths");
        const std::string shown = download::printable_text(release.notes, 200);
        for (const char c : shown)
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && c != '"',
                  "printable notes");
    }
    for (const char* installed : {"", "1.0", "2.1.0.0", "999999999.0"}) {
        for (const char* prefix : {"", "2.1", "2.1.", "x"}) {
            download::ChoiceInput input;
            input.installed = version(installed);
            input.windows = version("10.0.19045");
            input.target_prefix = prefix;
            input.machine_id = "3f2504e0-4f89-11d3-9a0c-0305e82c3301";
            for (input.channel = 0; input.channel < download::kChannelCount; ++input.channel) {
                const download::Choice choice = download::choose_release(feed, input);
                if (choice.kind == download::Choice::Kind::kUpToDate) continue;
                check(choice.release != nullptr, "a chosen release");
                check(choice.release->channel <= input.channel, "the machine's channels");
                check(policy::has_version_prefix(choice.release->version, prefix),
                      "the release line");
                if (choice.kind == download::Choice::Kind::kUpdate && input.installed.count > 0)
                    check(policy::compare_versions(choice.release->version, input.installed) > 0,
                          "forward only");
            }
        }
    }
    download::FeedMemory memory;
    download::accept_feed(feed, std::string(64, 'a'), feed.issued, memory, why);
    return 0;
}
