// Thread tags used on every operation that a host or the peer process can reach.
//
//   [audio thread]   the host's processing thread (or any thread of its pool): process,
//                    processReplacing, effGetCurrentPosition, and often processEvents and
//                    automation's setParameter. Forbidden there: heap allocation, locks, file or
//                    console I/O, logging, waiting for another thread, and any wait beyond the
//                    one 100 ms answer wait of its own block. Only the event's own kernel call
//                    is allowed, and a few system calls on marked slow paths.
//   [dispatch thread] whatever other thread the host dispatches opcodes from (suspend/resume,
//                    sample rate, parameters, idle, close), often the GUI thread. May wait for
//                    the link's turn (bounded) and up to one 100 ms answer per command it sends.
//                    docs/threads.md has the whole contract.
//   [main thread]    the thread that creates the plug-in: the constructor and the modal
//                    configuration dialog with its 100 ms timer.
//   [any thread]     no assumption; takes no lock and keeps no per-thread state.
#pragma once
