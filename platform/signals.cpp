// SPDX-License-Identifier: MIT
// What wavrec and recscan do when a signal ends them: remove their temporary
// files first. Kept apart from files.cpp so that recwav links none of it.
#include <recwav/platform.hpp>

#include <array>
#include <csignal>

namespace recwav {

namespace {

// The signals whose default action ends the process, the real-time ones
// aside: those of a crash too, so that not even one leaves a temporary file.
constexpr std::array endingSignals = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2,   SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,  SIGPWR,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

std::array<struct sigaction, NSIG> saved{};
struct sigaction savedFileSize {};

template <typename Use>
void forEachEndingSignal(Use use) {
    for (const int signal : endingSignals) {
        use(signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        use(signal);
    }
}

}  // namespace

void catchEndingSignals(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigfillset(&action.sa_mask);  // one clean-up at a time
    forEachEndingSignal([&](int signal) {
        struct sigaction& before = saved[static_cast<std::size_t>(signal)];
        sigaction(signal, nullptr, &before);
        if (before.sa_handler != SIG_IGN) {
            sigaction(signal, &action, nullptr);
        }
    });
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &savedFileSize);
}

void releaseEndingSignals() {
    forEachEndingSignal([](int signal) { sigaction(signal, &saved[static_cast<std::size_t>(signal)], nullptr); });
    sigaction(SIGXFSZ, &savedFileSize, nullptr);
}

void stopAsSignalled(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // delivered, with its default action, once the handler returns
}

}  // namespace recwav
