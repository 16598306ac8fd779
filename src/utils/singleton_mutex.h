// The single-instance lock: a named system mutex in the namespace that every logon
// session of the machine shares, so that two updaters never work at once.
//
// Create mode insists on being the mutex's first creator (the download phase); join mode
// (the install phase) opens a mutex that another process created and waits for it, and
// creates the mutex itself when it is gone, so that the lock covers the whole update.
// The lock logs nothing; it answers only through acquire(). A system mutex belongs to the
// thread whose wait succeeded, so one thread builds, acquires and destroys the object.
#pragma once

#include <string>

#include "utils/scoped_handle.h"

class SingletonMutex {
public:
    // Remembers "Global\" + base_name and the mode (create_new false: join mode); no
    // system call yet.
    SingletonMutex(const std::string& base_name, bool create_new);
    // Releases the mutex and closes the handle, if one was obtained; the results are not
    // examined (the release fails harmlessly when the mutex was never owned). A lock
    // without a handle makes no system call.
    ~SingletonMutex();
    SingletonMutex(const SingletonMutex&) = delete;
    SingletonMutex& operator=(const SingletonMutex&) = delete;

    // Obtains the handle if none is held yet, then waits without time-out to own the
    // mutex. True when the calling thread owns it. False when create mode found the mutex
    // already existing (the handle is given back at once), when join mode could neither
    // open nor create it, or when the wait did not end with WAIT_OBJECT_0 - WAIT_ABANDONED
    // included, after which the handle stays held (and the mutex owned) until destruction.
    bool acquire();

    // As acquire, but waits at most `timeout_ms`, and a mutex that its last owner left
    // without releasing it (WAIT_ABANDONED) is owned all the same: the update it guarded
    // has ended. False when the handle could not be had or the wait timed out, that is,
    // when someone else holds the lock.
    bool acquire_within(unsigned long timeout_ms);

    const std::string& name() const { return name_; }

private:
    // Opens or creates the mutex as the mode says, unless the handle is held already.
    bool obtain_handle();

    utils::ScopedKernelHandle handle_;
    std::string name_;
    bool create_new_;
};
