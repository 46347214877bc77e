#include "app/crash_report.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "plugins/call_site.h"
#include "threads/signal_stack.h"

namespace {

struct FatalSignal {
    int number;
    const char* name;
};

constexpr FatalSignal kFatalSignals[] = {{SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},
                                         {SIGILL, "SIGILL"},   {SIGFPE, "SIGFPE"},
                                         {SIGABRT, "SIGABRT"}, {SIGSYS, "SIGSYS"},
                                         {SIGTRAP, "SIGTRAP"}};
constexpr int kSignals = sizeof kFatalSignals / sizeof kFatalSignals[0];

// Set once, before the handlers are installed; read only by them.
struct sigaction previousActions[kSignals];
int systemLog = -1;
const char* logIdent = "";

// A line built in a fixed buffer without the C library's formatting, which
// may not run in a signal handler.
class Line {
public:
    void add(const char* text) {
        while (text != nullptr && *text != '\0' && length < sizeof text_ - 1) text_[length++] = *text++;
    }
    void add(long number) {
        char digits[24];
        int count = 0;
        const bool negative = number < 0;
        unsigned long rest = negative ? 0UL - static_cast<unsigned long>(number)
                                      : static_cast<unsigned long>(number);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest != 0);
        if (negative) add("-");
        while (count > 0 && length < sizeof text_ - 1) text_[length++] = digits[--count];
    }
    const char* text() const { return text_; }
    std::size_t size() const { return length; }

private:
    char text_[512] = {};
    std::size_t length = 0;
};

int indexOf(int signal) {
    for (int index = 0; index < kSignals; ++index) {
        if (kFatalSignals[index].number == signal) return index;
    }
    return -1;
}

void describe(Line& line, int signal) {
    const CallSite site = currentCallSite;
    if (site.plugin != nullptr) {
        line.add("plugin ");
        line.add(site.plugin);
        line.add(" crashed the server in ");
        line.add(site.entry);
    } else {
        line.add("the server crashed outside any plugin call");
    }
    line.add(" (signal ");
    line.add(static_cast<long>(signal));
    line.add(", ");
    line.add(kFatalSignals[indexOf(signal)].name);
    line.add(")");
}

void writeAll(int descriptor, const char* text, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(descriptor, text, size);
        if (written <= 0) return;
        text += written;
        size -= static_cast<std::size_t>(written);
    }
}

void report(int signal) {
    Line message;
    describe(message, signal);
    Line console;
    console.add(logIdent);
    console.add(": ");
    console.add(message.text());
    console.add("\n");
    writeAll(STDERR_FILENO, console.text(), console.size());
    if (systemLog < 0) return;
    Line record;
    record.add("<");
    record.add(static_cast<long>(LOG_DAEMON | LOG_CRIT));
    record.add(">");
    record.add(logIdent);
    record.add("[");
    record.add(static_cast<long>(getpid()));
    record.add("]: ");
    record.add(message.text());
    send(systemLog, record.text(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void onFatalSignal(int signal, siginfo_t* info, void*) {
    report(signal);
    // The handler that was in place takes the signal from here: a fault
    // recurs when the instruction runs again, anything else is raised anew
    // and delivered once this handler has returned.
    sigaction(signal, &previousActions[indexOf(signal)], nullptr);
    if (info == nullptr || info->si_code <= 0) raise(signal);
}

int connectSystemLog() {
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/dev/log", sizeof address.sun_path - 1);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(socket);
        return -1;
    }
    return socket;
}

}  // namespace

void installCrashReport(const char* ident) {
    // A second installation would take its own handler for the one before.
    static bool installed = false;
    if (installed) return;
    installed = true;
    // The main thread's own signal stack, for as long as the process lives.
    static pt::SignalStack mainThreadStack;
    logIdent = ident;
    if (systemLog < 0) systemLog = connectSystemLog();
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int index = 0; index < kSignals; ++index) {
        sigaction(kFatalSignals[index].number, &action, &previousActions[index]);
    }
}
