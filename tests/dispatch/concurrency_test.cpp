// The message path under real concurrency, meant to run under
// ThreadSanitizer: several plugin threads sending at once into a started
// Core, a plugin that keeps payloads and gives them back from a thread of
// its own, read requests and cancels racing the reader workers, and plugin
// threads that go on sending while the Core starts and stops. Every event
// must reach every subscriber exactly once and in each sender's order, and
// no payload copy may be left behind. Every wait is bounded, so a lost event
// or a stuck reader fails the test instead of hanging it.

#include "app/core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "bus_harness.h"

namespace {

using namespace bus_harness;
using namespace std::chrono_literals;

constexpr std::uint64_t kFrameType = 0x77;
constexpr std::uint64_t kPlainId = 0x301;
constexpr std::uint64_t kKeeperId = 0x302;
constexpr std::uint64_t kReaderId = 0x303;
constexpr std::uint64_t kChatterId = 0x304;
constexpr auto kLongPatience = 120s;

// The payload every test sender numbers its messages with.
struct Frame {
    char magic[4];
    std::uint32_t sender;
    std::uint32_t sequence;
    std::uint32_t tag;
};

std::string frameBytes(std::uint32_t sender, std::uint32_t sequence, std::uint32_t tag = 0) {
    Frame frame{{'S', 'E', 'Q', '!'}, sender, sequence, tag};
    return std::string(reinterpret_cast<const char*>(&frame), sizeof frame);
}

bool decode(const std::string& bytes, Frame& frame) {
    if (bytes.size() != sizeof(Frame) || bytes.compare(0, 4, "SEQ!") != 0) return false;
    std::memcpy(&frame, bytes.data(), sizeof frame);
    return true;
}

// The frames a plugin received, by Write or by broadcast, in delivery order.
std::vector<Frame> framesOf(ProbeControl& probe) {
    std::vector<Frame> frames;
    for (const ProbeCall& call : probe.calls()) {
        const bool event = call.entry == ProbeEntry::Write ||
                           (call.entry == ProbeEntry::Ioctl && call.ioctl.code != IOCTL_ON_LOAD);
        Frame frame;
        if (event && decode(call.payload, frame)) frames.push_back(frame);
    }
    return frames;
}

// Polls gently: every poll copies the probe's whole record of calls.
template <typename Condition>
bool eventually(Condition&& condition) {
    const auto deadline = Clock::now() + kLongPatience;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A plugin's own thread that gives back, one by one, the payloads the plugin
// kept in its Write and IOCTL calls.
class Releaser {
public:
    Releaser(ProbeControl& probe, std::uint64_t id)
        : probe(probe), id(id), worker([this] { run(); }) {}
    ~Releaser() { finish(); }

    // Called on the event handler thread, inside the plugin's call.
    void keep(const void* payload) {
        if (payload == nullptr) return;
        std::lock_guard<std::mutex> hold(lock);
        pending.push_back(payload);
        changed.notify_all();
    }

    // Gives back what is still pending, then ends the thread.
    void finish() {
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
            changed.notify_all();
        }
        if (worker.joinable()) worker.join();
    }

    std::int32_t worstCode() const { return worst.load(); }

    // Runs on the releasing thread just before each payload is given back.
    std::function<void(const void*)> beforeRelease;

private:
    void run() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            changed.wait(hold, [this] { return stopping || !pending.empty(); });
            if (pending.empty()) return;
            const void* payload = pending.front();
            pending.pop_front();
            hold.unlock();
            if (beforeRelease) beforeRelease(payload);
            const std::int32_t code = probe.send(release(id, payload));
            if (code != STATUS_OK) worst = code;
            hold.lock();
        }
    }

    ProbeControl& probe;
    const std::uint64_t id;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<const void*> pending;  // guarded by lock
    bool stopping = false;            // guarded by lock
    std::atomic<std::int32_t> worst{STATUS_OK};
    std::thread worker;
};

class Concurrency : public MessagePathTest {
protected:
    // A plain subscriber and a keeper, both on MSG_SELECT_1.
    void addSubscribers() {
        plain = &addProbe("plain.so", writerOn(kPlainId, 1));
        keeper = &addProbe("keeper.so", writerOn(kKeeperId, 1));
        keeper->behaviour.retainWrites = true;
        keeper->behaviour.retainIoctls = true;
        releaser = std::make_shared<Releaser>(*keeper, kKeeperId);
        std::shared_ptr<Releaser> gives = releaser;
        keeper->behaviour.onWrite = [gives](ProbeControl&, const WriteRequest& request) {
            gives->keep(request.payload);
        };
        keeper->behaviour.onIoctl = [gives](ProbeControl&, const IoctlRequest& request) {
            if (request.code != IOCTL_ON_LOAD) gives->keep(request.payloadRef.payload);
        };
    }

    // Stops the Core, lets the keeper give back the rest, and checks that
    // every payload copy is gone.
    void stopAndExpectNothingLeft() {
        core->stop();
        releaser->finish();
        EXPECT_EQ(releaser->worstCode(), STATUS_OK);
        EXPECT_EQ(core->router().payloads().holders().size(), 0u);
        EXPECT_EQ(core->router().payloads().slots().slotCount(), 0u);
        EXPECT_EQ(allocator.liveBlocks(), 0) << "payload copies were leaked";
    }

    // The keeper's thread gives back what it still holds before the probes
    // it sends through are forgotten, also when a test ended early.
    void TearDown() override {
        finishWorkers();
        core->stop();
        if (releaser) releaser->finish();
        MessagePathTest::TearDown();
    }

    ProbeControl* plain = nullptr;
    ProbeControl* keeper = nullptr;
    std::shared_ptr<Releaser> releaser;
};

// Each sender's frames, by sender, in the order a subscriber received them.
std::map<std::uint32_t, std::vector<std::uint32_t>> bySender(const std::vector<Frame>& frames) {
    std::map<std::uint32_t, std::vector<std::uint32_t>> order;
    for (const Frame& frame : frames) order[frame.sender].push_back(frame.sequence);
    return order;
}

TEST_F(Concurrency, EverySubscriberGetsEveryEventOnceInEachSendersOrder) {
    constexpr int kSenders = 4;
    constexpr int kFramesEach = 250;
    addSubscribers();
    // Takes only the broadcast frames, by IOCTL.
    ProbeControl& hearer = addProbe("hearer.so", pluginInfo(0x305));
    std::vector<ProbeControl*> senders;
    for (int i = 0; i < kSenders; ++i) {
        senders.push_back(&addProbe("sender" + std::to_string(i) + ".so", pluginInfo(0x400 + i)));
    }
    start();

    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSenders; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < kFramesEach; ++n) {
                const std::string bytes = frameBytes(i, n);
                // Every fifth frame goes to everybody by IOCTL instead.
                const std::uint64_t flags = n % 5 == 0 ? MSG_SELECT_1 | MSG_TO_ALL : MSG_SELECT_1;
                if (senders[i]->send(message(0x400 + i, flags, kFrameType, &bytes)) != STATUS_OK) {
                    ++refused;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(refused.load(), 0);

    const std::size_t everything = kSenders * kFramesEach;
    for (ProbeControl* subscriber : {plain, keeper}) {
        ASSERT_TRUE(eventually([&] { return framesOf(*subscriber).size() >= everything; }))
            << framesOf(*subscriber).size() << " of " << everything << " arrived";
        const auto order = bySender(framesOf(*subscriber));
        ASSERT_EQ(order.size(), static_cast<std::size_t>(kSenders));
        for (const auto& [sender, sequence] : order) {
            std::vector<std::uint32_t> expected(kFramesEach);
            for (int n = 0; n < kFramesEach; ++n) expected[n] = n;
            EXPECT_EQ(sequence, expected) << "sender " << sender;
        }
    }
    ASSERT_TRUE(eventually([&] { return framesOf(hearer).size() >= everything / 5; }));
    for (const auto& [sender, sequence] : bySender(framesOf(hearer))) {
        std::vector<std::uint32_t> expected;
        for (int n = 0; n < kFramesEach; n += 5) expected.push_back(n);
        EXPECT_EQ(sequence, expected) << "sender " << sender;
    }
    // Nothing is delivered twice, also not late.
    ASSERT_TRUE(eventually([&] { return core->router().events().empty(); }));
    EXPECT_EQ(framesOf(*plain).size(), everything);
    stopAndExpectNothingLeft();
}

// Reader workers answer their handles while other threads revive and cancel
// those handles; each answer is either refused or delivered, exactly once,
// in the order its worker sent it.
TEST_F(Concurrency, ReadRequestsAndCancelsRaceTheReaders) {
    constexpr int kAnswersEach = 8;
    constexpr int kRequests = 30;
    constexpr std::uint64_t kHandles = 5;
    addSubscribers();
    struct Outcomes {
        std::atomic<std::uint32_t> nextTag{1};
        std::mutex lock;
        std::map<std::uint32_t, std::vector<std::int32_t>> codes;  // guarded by lock
    };
    auto outcomes = std::make_shared<Outcomes>();
    PluginInfo readerInfo = pluginInfo(kReaderId);
    readerInfo.eventMasks[2] = UINT64_MAX;
    readerInfo.readPolling = 1;
    ProbeControl& reader = addProbe("reader.so", readerInfo);
    // The keeper holds each answer until its thread gives it back, so a
    // worker must never have two answers with the keeper at once.
    struct InFlight {
        std::mutex lock;
        std::map<const void*, std::uint32_t> tagOf;  // guarded by lock
        std::set<std::uint32_t> tags;                // guarded by lock
        std::atomic<int> overlaps{0};
    };
    auto inFlight = std::make_shared<InFlight>();
    std::shared_ptr<Releaser> gives = releaser;
    keeper->behaviour.onWrite = [inFlight, gives](ProbeControl&, const WriteRequest& request) {
        Frame frame;
        const std::string bytes(static_cast<const char*>(request.payload), request.length);
        if (decode(bytes, frame)) {
            std::lock_guard<std::mutex> hold(inFlight->lock);
            if (!inFlight->tags.insert(frame.tag).second) ++inFlight->overlaps;
            inFlight->tagOf[request.payload] = frame.tag;
        }
        gives->keep(request.payload);
    };
    releaser->beforeRelease = [inFlight](const void* payload) {
        std::lock_guard<std::mutex> hold(inFlight->lock);
        auto found = inFlight->tagOf.find(payload);
        if (found == inFlight->tagOf.end()) return;
        inFlight->tags.erase(found->second);
        inFlight->tagOf.erase(found);
    };
    reader.behaviour.onRead = [outcomes](ProbeControl& self, const ReadRequest& request) {
        if (request.handle == 0) return;  // the scheduler's start-up read
        const std::uint32_t tag = outcomes->nextTag++;
        std::vector<std::int32_t> codes;
        for (int k = 0; k < kAnswersEach; ++k) {
            const std::string bytes = frameBytes(static_cast<std::uint32_t>(request.handle), k, tag);
            CoreMessage reply = message(kReaderId, MSG_SELECT_1, kFrameType, &bytes);
            reply.handle = request.handle;
            codes.push_back(self.send(reply));
        }
        std::lock_guard<std::mutex> hold(outcomes->lock);
        outcomes->codes[tag] = codes;
    };
    start();

    std::thread requester([&] {
        for (int i = 0; i < kRequests; ++i) {
            EXPECT_EQ(route(readRequest(1 + i % kHandles, MSG_SELECT_2, kFrameType)), STATUS_OK);
        }
    });
    std::thread canceller([&] {
        std::mt19937 pick(7);
        for (int i = 0; i < kRequests; ++i) {
            EXPECT_EQ(route(cancel(1 + pick() % kHandles)), STATUS_OK);
            std::this_thread::sleep_for(1ms);
        }
    });
    requester.join();
    canceller.join();
    ASSERT_TRUE(workersDone(kLongPatience)) << "a reader never got its answers through";

    std::map<std::uint32_t, std::vector<std::uint32_t>> accepted;
    std::size_t acceptedCount = 0;
    {
        std::lock_guard<std::mutex> hold(outcomes->lock);
        EXPECT_EQ(outcomes->codes.size(), static_cast<std::size_t>(kRequests));
        for (const auto& [tag, codes] : outcomes->codes) {
            for (int k = 0; k < kAnswersEach; ++k) {
                EXPECT_TRUE(codes[k] == STATUS_OK || codes[k] == STATUS_CANCELLED) << codes[k];
                if (codes[k] == STATUS_OK) {
                    accepted[tag].push_back(k);
                    ++acceptedCount;
                }
            }
        }
    }
    for (ProbeControl* subscriber : {plain, keeper}) {
        ASSERT_TRUE(eventually([&] { return framesOf(*subscriber).size() >= acceptedCount; }));
        std::map<std::uint32_t, std::vector<std::uint32_t>> delivered;
        for (const Frame& frame : framesOf(*subscriber)) delivered[frame.tag].push_back(frame.sequence);
        EXPECT_EQ(delivered, accepted);
    }
    EXPECT_EQ(inFlight->overlaps.load(), 0) << "a reader had two answers in flight";
    stopAndExpectNothingLeft();
}

// A plugin thread, started in Load, sends through the Core's whole start and
// stop and a little beyond; every message is accepted until the stop begins
// and refused as stopping from then on, what is delivered
// arrives once and in order, and nothing stays allocated once the Core is
// gone.
TEST_F(Concurrency, PluginThreadsSendWhileTheCoreStartsAndStops) {
    struct Chatter {
        std::atomic<bool> quiet{false};
        std::atomic<std::uint32_t> sent{0};
        std::atomic<int> refused{0};
        std::atomic<int> stopping{0};
        std::thread thread;
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        // Fresh file names each time: a library is never overwritten while
        // an earlier copy of it might still be mapped.
        const std::string chatterFile = "chatter" + std::to_string(cycle) + ".so";
        const std::string listenerFile = "listener" + std::to_string(cycle) + ".so";
        Chatter chatter;
        // Quiets and joins the plugin's thread however this cycle ends.
        struct JoinAtExit {
            Chatter& chatter;
            ~JoinAtExit() {
                chatter.quiet = true;
                if (chatter.thread.joinable()) chatter.thread.join();
            }
        } joiner{chatter};
        ProbeControl& chatty = addProbe(chatterFile, pluginInfo(kChatterId));
        chatty.behaviour.onLoad = [talk = &chatter](ProbeControl& self) {
            talk->thread = std::thread([talk, &self] {
                while (!talk->quiet) {
                    // Read requests walk the plugin table while it changes.
                    if (talk->sent % 10 == 0) {
                        CoreMessage request = readRequest(talk->sent + 1, MSG_SELECT_1, 0);
                        if (self.send(request) != STATUS_OK) ++talk->refused;
                    }
                    // Once the stop has begun, frames are refused as frames
                    // nobody would see; nothing else may be refused.
                    const std::string bytes = frameBytes(kChatterId, talk->sent);
                    const std::int32_t code =
                        self.send(message(kChatterId, MSG_SELECT_1, kFrameType, &bytes));
                    if (code == STATUS_STOPPING) {
                        ++talk->stopping;
                    } else if (code != STATUS_OK) {
                        ++talk->refused;
                    }
                    ++talk->sent;
                    std::this_thread::sleep_for(200us);
                }
            });
        };
        PluginInfo listening = writerOn(kPlainId, 1);
        listening.readPolling = 1;
        ProbeControl& listener = addProbe(listenerFile, listening);
        start();
        ASSERT_TRUE(waitUntil([&] { return !writesOfType(listener, kFrameType).empty(); }));
        core->stop();
        const std::uint32_t sentAtStop = chatter.sent;
        ASSERT_TRUE(waitUntil([&] { return chatter.sent > sentAtStop + 20; }));
        chatter.quiet = true;
        chatter.thread.join();

        EXPECT_EQ(chatter.refused.load(), 0);
        EXPECT_GE(chatter.stopping.load(), 20);
        // From the first frame on, sent while the Core was still loading,
        // every frame up to some point during the stop, each once.
        std::vector<std::uint32_t> delivered;
        for (const Frame& frame : framesOf(listener)) delivered.push_back(frame.sequence);
        ASSERT_FALSE(delivered.empty());
        for (std::size_t i = 0; i < delivered.size(); ++i) {
            ASSERT_EQ(delivered[i], i) << "lost, reordered or delivered twice";
        }
        EXPECT_LE(delivered.back(), sentAtStop) << "a frame sent after the stop was delivered";

        // The next Core replaces this one; the frames sent after the stop
        // are freed with it.
        core = std::make_unique<Core>(folder.exePath(), allocator);
        EXPECT_EQ(allocator.liveBlocks(), 0) << "cycle " << cycle;
        forgetProbes();
        std::filesystem::remove(folder.pluginsDir() + "/" + chatterFile);
        std::filesystem::remove(folder.pluginsDir() + "/" + listenerFile);
    }
}

}  // namespace
