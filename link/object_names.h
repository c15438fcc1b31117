// Names of one slave number's three named objects, shared by the plug-in and every slave.
//
// A negative number selects the unnumbered names ("PalisorSlave_ShMem"); otherwise the decimal
// digits follow the prefix directly ("PalisorEv_Master3"). The names carry no namespace prefix;
// the POSIX platform adds the leading slash its object names need.
//
// The two lock objects ("PalisorLock_Master3", "PalisorLock_Slave3") are not part of the block's
// exchange: a master holds the first while it holds the master role, the reference slave the
// second while it serves, so that an attach byte left set by a process that died can be told
// from one held by a living process. A peer that knows nothing of them is not affected.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kObjectNameSize = 64;  // names are formatted into stack buffers of this size

enum class LinkObject { Mapping, MasterEvent, SlaveEvent, MasterLock, SlaveLock };

// [any thread: no allocation] Writes the name, NUL-terminated, into `out`.
void formatObjectName(char (&out)[kObjectNameSize], LinkObject object, std::int32_t slaveNumber);
