#include "kit/harness/guarded_payloads.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "kit/harness/call_scope.h"

namespace kit {

namespace {

// Enough for every payload a test sends, with freed pages reused in turn.
constexpr std::size_t kArenaBytes = std::size_t(512) << 20;
constexpr std::size_t kFaultRing = 256;

// Page states: never used, a freed payload's, a live payload's, or the
// guard page after a live payload of the length in the low bits. A guard
// page that faulted once is readable; "opened" marks it, so that a second
// fault there (a write) opens it for writing and the plugin goes on.
constexpr std::uint32_t kUnused = 0;
constexpr std::uint32_t kFreed = 1;
constexpr std::uint32_t kLive = 2;
constexpr std::uint32_t kGuard = 0x80000000u;
constexpr std::uint32_t kOpened = 0x40000000u;
constexpr std::uint32_t kLengthBits = 0x3FFFFFFFu;

// The arena, for the fault handler: set while a GuardedPayloads lives.
std::atomic<std::uintptr_t> arenaStart{0};
std::atomic<std::size_t> arenaPages{0};
std::atomic<std::uint32_t>* pageStates = nullptr;
std::size_t pageBytes = 0;

PayloadFault faultRing[kFaultRing];
std::atomic<std::size_t> faultsWritten{0};
std::atomic<std::size_t> faultsTaken{0};  // advanced under the owner's lock

struct sigaction previousHandler;

void recordFault(const PayloadFault& fault) {
    const std::size_t index = faultsWritten.load();
    if (index - faultsTaken.load() >= kFaultRing) return;  // a full ring keeps the first ones
    faultRing[index % kFaultRing] = fault;
    faultsWritten.store(index + 1);
}

void passOn(int signal, siginfo_t* info, void* context) {
    if ((previousHandler.sa_flags & SA_SIGINFO) != 0 && previousHandler.sa_sigaction != nullptr) {
        previousHandler.sa_sigaction(signal, info, context);
        return;
    }
    // The default action, or an ignored fault, which would only come back:
    // the faulting instruction runs again under the handler before ours.
    sigaction(SIGSEGV, &previousHandler, nullptr);
}

// Whether the fault was in the arena and is now let through.
bool takeArenaFault(siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const std::uintptr_t start = arenaStart.load();
    if (start == 0 || address < start || address >= start + arenaPages.load() * pageBytes) {
        return false;
    }
    const std::size_t page = (address - start) / pageBytes;
    const std::uint32_t state = pageStates[page].load();
    if (state == kLive) return false;
    void* pageAddress = reinterpret_cast<void*>(start + page * pageBytes);
    if ((state & kOpened) != 0) {
        return mprotect(pageAddress, pageBytes, PROT_READ | PROT_WRITE) == 0;
    }
    PayloadFault fault;
    fault.afterFree = (state & kGuard) == 0;
    fault.length = (state & kGuard) != 0 ? state & kLengthBits : 0;
    fault.address = address;
    fault.instruction = static_cast<std::uintptr_t>(
        static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
    fault.slot = currentCall.slot;
    fault.entry = static_cast<int>(currentCall.entry);
    recordFault(fault);
    pageStates[page].store(state | kOpened);
    return mprotect(pageAddress, pageBytes, PROT_READ) == 0;
}

void onFault(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    if (!takeArenaFault(info, context)) passOn(signal, info, context);
    errno = savedErrno;
}

void installHandlerOnce() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = onFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousHandler);
    });
}

}  // namespace

GuardedPayloads::GuardedPayloads(std::function<void(const void*)> freed) : freed(std::move(freed)) {
    pageBytes = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t pages = kArenaBytes / pageBytes;
    void* arena = mmap(nullptr, kArenaBytes, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (arena == MAP_FAILED) return;  // allocate() then finds no room
    // The states are mapped beside the arena, not allocated: an arena left
    // mapped for good keeps them, and no leak check should count them.
    void* states = mmap(nullptr, pages * sizeof(std::atomic<std::uint32_t>),
                        PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (states == MAP_FAILED) {
        munmap(arena, kArenaBytes);
        return;
    }
    pageStates = static_cast<std::atomic<std::uint32_t>*>(states);
    for (std::size_t page = 0; page < pages; ++page) {
        new (&pageStates[page]) std::atomic<std::uint32_t>(kUnused);
    }
    faultsWritten.store(0);
    faultsTaken = 0;
    arenaPages.store(pages);
    arenaStart.store(reinterpret_cast<std::uintptr_t>(arena));
    installHandlerOnce();
}

GuardedPayloads::~GuardedPayloads() {
    if (mappedForGood) return;
    const std::uintptr_t start = arenaStart.exchange(0);
    if (start == 0) return;
    munmap(reinterpret_cast<void*>(start), kArenaBytes);
    munmap(pageStates, arenaPages.load() * sizeof(std::atomic<std::uint32_t>));
    pageStates = nullptr;
}

void GuardedPayloads::markPages(std::size_t first, std::size_t count, std::uint32_t state) {
    for (std::size_t page = first; page < first + count; ++page) pageStates[page].store(state);
}

std::size_t GuardedPayloads::findRoom(std::size_t pages) {
    const std::size_t total = arenaPages.load();
    std::size_t candidate = cursor;
    for (int wraps = 0; wraps < 2;) {
        if (candidate + pages > total) {
            candidate = 0;
            ++wraps;
            continue;
        }
        auto next = live.lower_bound(candidate);
        if (next != live.begin()) {
            const auto before = std::prev(next);
            if (before->first + before->second.pages > candidate) {
                candidate = before->first + before->second.pages;
                continue;
            }
        }
        if (next != live.end() && next->first < candidate + pages) {
            candidate = next->first + next->second.pages;
            continue;
        }
        return candidate;
    }
    return total;
}

void* GuardedPayloads::allocate(std::size_t bytes) {
    const std::uintptr_t start = arenaStart.load();
    if (start == 0 || bytes > kLengthBits) return nullptr;
    const std::size_t dataPages = bytes == 0 ? 1 : (bytes + pageBytes - 1) / pageBytes;
    std::lock_guard<std::mutex> hold(lock);
    const std::size_t first = findRoom(dataPages + 1);
    if (first >= arenaPages.load()) return nullptr;
    auto* data = reinterpret_cast<unsigned char*>(start + first * pageBytes);
    if (mprotect(data, dataPages * pageBytes, PROT_READ | PROT_WRITE) != 0) return nullptr;
    mprotect(data + dataPages * pageBytes, pageBytes, PROT_NONE);
    markPages(first, dataPages, kLive);
    pageStates[first + dataPages].store(kGuard | static_cast<std::uint32_t>(bytes));
    live[first] = Block{dataPages + 1};
    cursor = first + dataPages + 1;
    // The payload ends where the guard page begins.
    return data + dataPages * pageBytes - bytes;
}

void GuardedPayloads::release(void* block) {
    if (block == nullptr) return;
    freed(block);
    const std::uintptr_t start = arenaStart.load();
    const std::size_t page = (reinterpret_cast<std::uintptr_t>(block) - start) / pageBytes;
    std::lock_guard<std::mutex> hold(lock);
    auto found = live.upper_bound(page);
    if (found == live.begin()) return;
    --found;
    const std::size_t first = found->first;
    const std::size_t pages = found->second.pages;
    void* address = reinterpret_cast<void*>(start + first * pageBytes);
    mprotect(address, pages * pageBytes, PROT_NONE);
    madvise(address, pages * pageBytes, MADV_DONTNEED);
    markPages(first, pages, kFreed);
    live.erase(found);
}

std::vector<PayloadFault> GuardedPayloads::takeFaults() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<PayloadFault> faults;
    const std::size_t written = faultsWritten.load();
    for (std::size_t taken = faultsTaken.load(); taken < written; ++taken) {
        faults.push_back(faultRing[taken % kFaultRing]);
        faultsTaken.store(taken + 1);
    }
    return faults;
}

std::size_t GuardedPayloads::liveBlocks() {
    std::lock_guard<std::mutex> hold(lock);
    return live.size();
}

}  // namespace kit
