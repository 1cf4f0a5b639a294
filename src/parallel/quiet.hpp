// Threads the library starts take no signals: Python handles signals on its
// own threads, and a blocking read there must still see EINTR for Ctrl-C.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace karnoxel::parallel {

// Blocks every signal on the calling thread while it lives; threads started
// meanwhile inherit the full mask. Restores the previous mask on exit.
class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace karnoxel::parallel
