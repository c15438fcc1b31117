// Names of one slave number's three named objects, shared by the plug-in and every slave.
//
// A negative number selects the unnumbered names ("PalisorSlave_ShMem"); otherwise the decimal
// digits follow the prefix directly ("PalisorEv_Master3"). The names carry no namespace prefix;
// the POSIX platform adds the leading slash its object names need.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kObjectNameSize = 64;  // names are formatted into stack buffers of this size

enum class LinkObject { Mapping, MasterEvent, SlaveEvent };

// [any thread: no allocation] Writes the name, NUL-terminated, into `out`.
void formatObjectName(char (&out)[kObjectNameSize], LinkObject object, std::int32_t slaveNumber);
