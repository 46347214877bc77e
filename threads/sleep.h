// Millisecond sleep of the calling thread.
#pragma once

namespace pt {

// Sleeps for at least `milliseconds`; a sleep cut short by a signal handler
// sleeps on for the rest.
void psleep(unsigned milliseconds);

}  // namespace pt
