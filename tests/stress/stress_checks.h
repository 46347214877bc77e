// What the stress run checks once the Core has stopped and the load has
// ended (stress_test.cpp says what and why), and the figures it prints.
// Each check reports through GoogleTest's EXPECT macros, naming the sink,
// reader or producer at fault.
#pragma once

#include <chrono>

#include "log_capture.h"
#include "stress_run.h"

// Every sink took the kind its file name gives it.
void expectSinkKinds(const StressPlugins& plugins);
// The events the Core said it discarded at its stop.
std::uint64_t discardedAtStop(LogCapture& log);
// The sink got the accepted records of every producer, in order, intact and
// without a gap, up to the stop; what it missed after its last one was
// discarded by the stop; and it gave every payload back.
void expectExactlyTheAccepted(const SinkView& sink, const Producers& producers,
                              std::uint64_t discarded);
// The sink got every answer accepted before the stop but those the stop
// discarded, and none never accepted; a sink that does not select answers
// got none.
void expectAnswers(const SinkView& sink, const StopMark& mark, std::uint64_t acceptedInAll,
                   std::uint64_t discarded);
// Once the Core has stopped, no payload is held by anybody (every sink gave
// all of its payloads back when it was closed, and nothing else keeps any)
// and no reader's reply slot is left. The Core's destructor would free such
// leftovers, so the allocator's count alone would not show them.
void expectNothingLeftHeld(Core& core);
// Every send, request, cancel and answer got the code it should.
void expectRightCodes(const StressLoad& load, const StressPlugins& plugins, const StopMark& mark);
// The run provoked every refusal it means to, and producers were still
// being accepted while the Core stopped.
void expectEverythingExercised(const StressLoad& load, const StressPlugins& plugins);

void printFigures(const StressLoad& load, const StressPlugins& plugins,
                  const StressSettings& settings, const LoadPeaks& peaks, const StopMark& mark,
                  std::chrono::milliseconds stopTook);
