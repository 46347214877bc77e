// Router: the message router, the one entry through which every message
// reaches the core, and the owner of the bus.
//
// routeMessage decides from a message's flags and source which of four
// things happens: a release (a holder gives a payload copy back), a cancel
// (a read handle is marked cancelled), a read request (Read workers are
// started for the plugins that take it), or a queued message (sequence
// check, payload copy, pacing of a reader's answers, then the event queue).
// It answers in the sender's CoreStatus and never blocks except where a
// reader worker waits for its previous payload to be freed.
//
// The router owns what the road of a message needs up to the queue: the
// event queue, the payloads (copy, hold, pace, free), the sequence table,
// the cancelled handles and the count of refusals for a full queue. The
// event handler takes the queue's consumer side and the payloads' holds;
// reader workers their payload copies and reply slots. What the router needs
// from above it reads through two narrow interfaces the Core wires in: the
// throttling state and the starter of Read workers.
//
// It runs on the sender's thread, any number of them at once, and may be
// re-entered from a delivery. It takes the locks of its parts one after the
// other, never two at once. Every outcome is a status code; nothing throws.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "bus/cancelled_handles.h"
#include "bus/event_queue.h"
#include "bus/notice_sink.h"
#include "bus/payloads.h"
#include "bus/reader_starter.h"
#include "bus/refusal_ledger.h"
#include "bus/sender_ledger.h"
#include "bus/sequence_table.h"
#include "bus/throttle_gauge.h"
#include "tessard_plugin.h"

class Router : public NoticeSink {
public:
    // Payload copies come from `allocator`; the queue holds at most
    // `queueBytes` of events.
    Router(PayloadAllocator& allocator, std::size_t queueBytes);

    Router(const Router&) = delete;
    Router& operator=(const Router&) = delete;

    // The Core's wiring, before any message is routed. Until then nothing
    // throttles and read requests start no worker.
    void readThrottlingFrom(const ThrottleGauge& gauge) { throttle = &gauge; }
    void startReadersWith(ReaderStarter& starter) { readers = &starter; }

    // Writes status->code once and returns 0.
    std::int32_t routeMessage(const CoreMessage* message, CoreStatus* status);

    // The core's notices, from CORE_ID (notices.cpp).
    using NoticeSink::sendXml;
    void sendXml(const TiXmlNode& document, std::uint64_t flags, std::uint64_t type) override;
    void sendText(const std::string& text) override;

    // At start: the queue takes messages again and readers may answer.
    void reopen();
    // At stop, once the event handler has ended: answers that carry a handle
    // are refused, and readers waiting to send are let go.
    void refuseReplies() { payloadLife.slots().closeAll(); }
    // Frees every event still queued; how many there were.
    std::size_t discardQueued();

    EventQueue& events() { return queue; }
    Payloads& payloads() { return payloadLife; }
    CancelledHandles& cancels() { return cancelledHandles; }
    SequenceTable& sequences() { return sequenceTable; }
    RefusalLedger& refusals() { return queueRefusals; }
    // What each sender of an event was answered, and how many notices of
    // its own the core sent; for the statistics.
    SenderLedger& senders() { return senderLedger; }
    std::uint64_t noticesSent() const { return notices.load(std::memory_order_relaxed); }

private:
    std::int32_t route(const CoreMessage& message);
    void takeReadRequest(const CoreMessage& request);
    // Queues an event; `accepted` counts it once it is queued.
    std::int32_t queueEvent(const CoreMessage& message, std::atomic<std::uint64_t>* accepted);
    bool attachPayloadCopy(CoreMessage& event);
    bool paceReader(const CoreMessage& event);
    std::int32_t refuseForFullQueue(const CoreMessage& message, const CoreMessage& event,
                                    bool sequenced);
    void sendNotice(const CoreMessage& notice);

    // Every part starts a cache line: the senders and the event handler
    // thread write different parts all the time, and two parts sharing a
    // line would pass it back and forth between them.
    alignas(64) EventQueue queue;
    alignas(64) Payloads payloadLife;
    alignas(64) SequenceTable sequenceTable;
    alignas(64) CancelledHandles cancelledHandles;
    alignas(64) RefusalLedger queueRefusals;
    alignas(64) SenderLedger senderLedger;
    alignas(64) std::atomic<std::uint64_t> notices{0};
    // Set by the Core's wiring before any thread routes; read-only after.
    const ThrottleGauge* throttle;
    ReaderStarter* readers = nullptr;
};
