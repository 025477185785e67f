#pragma once
// Test hooks inside platform::DispatchQueue (defined there; the library never sets them).
//
// Thread-safety: set while no queue is starting blocks, and reset before the hook's state
// goes away.

namespace platform::testing {

// Called on a queue's own thread after it counted the block it is about to start as
// running and before it reads whether queues were closed for exit, with the queue's lock
// held: a test can hold a worker in that window. Null (the default) calls nothing.
void setExitGateWindowHook(void (*hook)());

}  // namespace platform::testing
