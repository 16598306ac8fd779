// The publisher that installers are held to: the signer of updater.exe itself. Only an
// installer whose Authenticode signature holds on this machine (trust/signature.h: the
// file's bytes, and the signer's chain up to a machine root as of its time stamp) and
// whose signer has the same subject name as the updater's signer, or one of the subjects
// the brand lists (g_listed_publishers), is run with administrator rights.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "utils/scoped_handle.h"

namespace trust {

// What the running updater's own signature says. Filled by read_own_publisher, once per
// run, where the run first checks an installer; plain data, copied freely.
struct OwnPublisher {
    enum class State {
        kUnsigned,  // no signature: installers are not checked (development builds)
        kSigned,    // verified: installers must come from `name`
        kInvalid,   // no valid signature where one is needed: no installer is accepted
    };
    State state = State::kUnsigned;
    std::vector<unsigned char> subject;  // the leaf signer's encoded subject name
    std::string name;                    // the same, as X.500 text ("CN=..., O=...")
    std::string cause;                   // kInvalid: why, as each refusal names it
};

// Whether this program must carry a valid signature of its own. False in development
// builds, whose unsigned updater checks no installer; main sets it from the build option
// UPDATER_REQUIRE_SIGNATURE (on in the release preset) before any phase runs, and then an
// updater that finds no valid signature of its own refuses every installer.
extern bool g_own_signature_required;

// The subjects besides the updater's own signer's that installers and release feeds may be
// signed by, as X.500 text the way the log's "Publisher:" line writes a subject (compared
// as text, letter case included): the brand's list (BRAND_LISTED_PUBLISHERS), so that a
// vendor can move to a renewed certificate under another name or CA. Only a signed
// updater accepts them. Main thread, before any phase runs.
extern std::vector<std::string> g_listed_publishers;

// Reads the Authenticode signer of the running image into `out`. Logs INFO with the
// publisher's name, or, for an unsigned development build, one WARN line (installers are
// not checked for a publisher). A signature that does not hold, or a missing one where
// g_own_signature_required, gives kInvalid with the cause, which every refusal names; it
// is not logged here. Main thread.
void read_own_publisher(OwnPublisher& out);

// read_own_publisher, begun on a thread of its own at construction so that its cost
// overlaps the run's other work: the first signature check of a process loads the
// code-signing libraries and, under Wine, the machine's root certificates from the host's
// CA bundle. get() waits and then fills `out` and logs as read_own_publisher does, on the
// caller's thread, so the log keeps its order; a later get() gives the same without
// checking or logging again; without get() nothing is logged. The
// destructor waits for the thread. When no thread could be started, get() does the work
// itself. One owning thread.
class OwnPublisherReader {
public:
    OwnPublisherReader();
    ~OwnPublisherReader();
    OwnPublisherReader(const OwnPublisherReader&) = delete;
    OwnPublisherReader& operator=(const OwnPublisherReader&) = delete;

    void get(OwnPublisher& out);
    // Whether get() would not wait: the thread has finished.
    bool done() const;
    // The running image's file, opened at construction by the path the system names for
    // it, for reading, with read and delete sharing: the file whose signature get()
    // reports. Null when it could not be opened. Lives as long as this object.
    HANDLE image() const;

    struct Found;  // what the thread found, defined with the implementation

private:
    static DWORD WINAPI run(void* self);

    std::unique_ptr<Found> found_;
    utils::ScopedKernelHandle thread_;
};

// Holds the installer at `path` to the updater's publisher, which `own` reads (its get()
// is called here): 0 when the installer's signature holds on this machine and its leaf
// signer's subject equals the updater's (with an INFO line), or when the updater is an
// unsigned development build (nothing to hold it to). -1 after one WARN line, under
// `function`, that names the cause: the WinVerifyTrust result in hex, the chain policy's
// error with the time the chain was checked for, both subjects, or why the updater has no
// valid publisher. While `own` is still at work, the installer is checked meanwhile on
// this thread. Opens the file for reading only, with read sharing, so it works on a copy
// that is held open that way; given `file` (open for reading), reads the installer through
// that handle instead, and `path` only names it.
int check_installer_publisher(OwnPublisherReader& own, const std::string& path,
                              const char* function, HANDLE file = nullptr);

// Holds the release feed `message`, as the server sent it, to the updater's publisher
// (`own.get()` is called here): 0 with the feed's JSON in `content` when it is a signed
// message (trust/signature.h, open_signed_content) that holds on this machine at `now`
// and whose signer has the subject of the updater's own signer. An unsigned development
// build, which has no publisher to hold it to, takes the JSON as it came, or the signed
// message's content once its signature holds, after one WARN line under `function`.
// -1 with `why`, the end of "The release feed is refused: <why>.", otherwise.
int open_release_feed(OwnPublisherReader& own, const std::string& message, std::int64_t now,
                      std::string& content, std::string& why, const char* function);

}  // namespace trust
