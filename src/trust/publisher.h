// The publisher that installers are held to: the signer of updater.exe itself. Only an
// installer whose Authenticode signature verifies and whose signer has the same subject
// name as the updater's signer is run with administrator rights.
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
        kInvalid,   // a signature that does not verify: no installer is accepted
    };
    State state = State::kUnsigned;
    std::vector<unsigned char> subject;  // the leaf signer's encoded subject name
    std::string name;                    // the same, as X.500 text ("CN=..., O=...")
};

// Reads the Authenticode signer of the running image into `out` and logs the outcome in
// one line: INFO with the publisher's name, or WARN for an unsigned updater (installers
// are not checked for a publisher) or for a signature that does not verify (the
// WinVerifyTrust result in hex; every installer will be refused). Main thread.
void read_own_publisher(OwnPublisher& out);

// read_own_publisher, begun on a thread of its own at construction so that its cost
// overlaps the run's other work: the first signature check of a process loads the
// code-signing libraries and, under Wine, the system's root certificates. get() waits and
// then fills `out` and logs as read_own_publisher does, on the caller's thread, so the log
// keeps its order; without get() nothing is logged. The destructor waits for the thread.
// When no thread could be started, get() does the work itself. One owning thread.
class OwnPublisherReader {
public:
    OwnPublisherReader();
    ~OwnPublisherReader();
    OwnPublisherReader(const OwnPublisherReader&) = delete;
    OwnPublisherReader& operator=(const OwnPublisherReader&) = delete;

    void get(OwnPublisher& out);

    struct Found;  // what the thread found, defined with the implementation

private:
    static DWORD WINAPI run(void* self);

    std::unique_ptr<Found> found_;
    utils::ScopedKernelHandle thread_;
};

// Holds the installer at `path` to `own`: 0 when its signature verifies and its leaf
// signer's subject equals the updater's (with an INFO line), or at once when the updater
// is unsigned (nothing to hold it to). -1 after one WARN line, under `function`, that
// names the cause: the WinVerifyTrust result in hex, both subjects, or an updater whose
// own signature does not verify. Opens the file for reading only, with
// read sharing, so it works on a copy that is held open that way.
int check_installer_publisher(const OwnPublisher& own, const std::string& path,
                              const char* function);

}  // namespace trust
