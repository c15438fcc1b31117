// Thread tags used on every operation that a host or the peer process can reach.
//
//   [audio thread]   the host's processing thread: process, processReplacing,
//                    effGetCurrentPosition. Forbidden there: heap allocation, locks, file or
//                    console I/O, logging, and any wait beyond the link's bounded waits
//                    (100 ms steps, at most 21 of them per block). Only the event's own kernel
//                    call is allowed.
//   [dispatch thread] whatever thread the host dispatches opcodes from (processEvents,
//                    suspend/resume, sample rate, parameters, idle, close). May wait up to one
//                    100 ms answer per command it sends.
//   [main thread]    the thread that creates the plug-in: the constructor and the modal
//                    configuration dialog with its 100 ms timer.
//   [any thread]     no assumption; takes no lock and keeps no per-thread state.
#pragma once
