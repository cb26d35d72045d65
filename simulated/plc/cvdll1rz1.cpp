#include "plc/cvdll1rz1.h"

#include "common/entries.h"
#include "common/journal_line.h"
#include "common/load_count.h"
#include "control/state.h"

#include <algorithm>
#include <cstring>

namespace {

using simstate::PlcLink;

static_assert(simstate::kPlcLinks == CVDLLRZ_LINKS &&
                  simstate::kDataRegisters == CVDLLRZ_DATA_REGISTERS &&
                  simstate::kLinkRegisters == CVDLLRZ_LINK_REGISTERS,
              "simctl keeps the PLCs this library simulates");

// The PLCs live in simctl's state, so that a tool in another process can watch them; simctl
// resets them when the first load of this library appears, so each fresh load still finds every
// link closed and every register 0. The static object counts this load in: defined before any
// call can come in.
const sim::LoadCount load_count(simstate::kPlcFile);

// Holds one link's lock; its memory transfers need no heap allocation.
template <class Work> int onLink(int link, Work work) {
    if (link < 0 || link >= CVDLLRZ_LINKS)
        return CVDLLRZ_E_LINK;
    PlcLink& plc = simctl_plc_state()[link];
    simstate::Guard guard(plc.lock);
    return work(plc);
}

template <class Work> int onOpenLink(int link, Work work) {
    return onLink(link, [&](PlcLink& plc) { return plc.open ? work(plc) : CVDLLRZ_E_NOT_OPEN; });
}

// Mode changes and downloads address the PLC by its station number as well.
template <class Work> int onUnit(int link, int unit, Work work) {
    return onOpenLink(link,
                      [&](PlcLink& plc) { return unit == plc.unit ? work(plc) : CVDLLRZ_E_UNIT; });
}

unsigned short* registers(PlcLink& plc, int area, long long& size) {
    switch (area) {
    case 0:
        size = CVDLLRZ_DATA_REGISTERS;
        return plc.data;
    case 1:
        size = CVDLLRZ_LINK_REGISTERS;
        return plc.link;
    default:
        return nullptr;
    }
}

} // namespace

extern "C" {

#ifndef SIM_WITHOUT_CVDLLRZ_Open
int WINAPI CVDLLRZ_Open(int link, int unit, int protocol, int timeout, int retries) {
    sim::enter("CVDLLRZ_Open", link, unit, protocol, timeout, retries);
    int status = onLink(link, [&](PlcLink& plc) {
        if (plc.open)
            return CVDLLRZ_E_ALREADY_OPEN;
        if (protocol != 101 && protocol != 110 && protocol != 111)
            return CVDLLRZ_E_PROTOCOL;
        if (unit < 0 || unit >= CVDLLRZ_UNITS || timeout < 0 || retries < 0)
            return CVDLLRZ_E_ARGUMENT;
        plc.open = 1;
        plc.running = 0;
        plc.unit = unit;
        plc.protocol = protocol;
        plc.timeout = timeout;
        plc.retries = retries;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_Open", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_Close
int WINAPI CVDLLRZ_Close(int link) {
    sim::enter("CVDLLRZ_Close", link);
    int status = onOpenLink(link, [](PlcLink& plc) {
        plc.open = 0;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_Close", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_RunMode
int WINAPI CVDLLRZ_RunMode(int link, int unit) {
    sim::enter("CVDLLRZ_RunMode", link, unit);
    int status = onUnit(link, unit, [](PlcLink& plc) {
        plc.running = 1;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_RunMode", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_StopMode
int WINAPI CVDLLRZ_StopMode(int link, int unit) {
    sim::enter("CVDLLRZ_StopMode", link, unit);
    int status = onUnit(link, unit, [](PlcLink& plc) {
        plc.running = 0;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_StopMode", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_DownLoad
int WINAPI CVDLLRZ_DownLoad(int link, int unit, const char* file) {
    sim::enter("CVDLLRZ_DownLoad", link, unit, sim::Text{file});
    int status = onUnit(link, unit, [&](PlcLink& plc) {
        if (plc.running)
            return CVDLLRZ_E_RUNNING;
        size_t length = file == nullptr ? 0 : std::strlen(file);
        if (length == 0 || length >= sizeof plc.download)
            return CVDLLRZ_E_ARGUMENT;
        std::memcpy(plc.download, file, length + 1);
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_DownLoad", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_RegWrite
int WINAPI CVDLLRZ_RegWrite(int link, int area, int address, const unsigned short* words,
                            int count) {
    sim::enter("CVDLLRZ_RegWrite", link, area, address, sim::Words{words, count}, count);
    int status = onOpenLink(link, [&](PlcLink& plc) {
        long long size = 0;
        unsigned short* regs = registers(plc, area, size);
        if (regs == nullptr)
            return CVDLLRZ_E_AREA;
        if (count == 0)
            return CVDLLRZ_OK;
        if (count < 0 || words == nullptr)
            return CVDLLRZ_E_ARGUMENT;
        if (address < 0 || static_cast<long long>(address) + count > size)
            return CVDLLRZ_E_RANGE;
        std::memcpy(regs + address, words, sizeof *words * static_cast<size_t>(count));
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_RegWrite", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_RegRead
int WINAPI CVDLLRZ_RegRead(int link, int area, int address, unsigned short* words, int count) {
    sim::enter("CVDLLRZ_RegRead", link, area, address,
               sim::Out{words, count > 0 && count <= 1 << 24 ? 2 * count : 0}, count);
    int status = onOpenLink(link, [&](PlcLink& plc) {
        long long size = 0;
        const unsigned short* regs = registers(plc, area, size);
        if (regs == nullptr)
            return CVDLLRZ_E_AREA;
        if (count == 0)
            return CVDLLRZ_OK;
        if (count < 0 || words == nullptr)
            return CVDLLRZ_E_ARGUMENT;
        // Copy the part that lies inside the area, each word to its own place in the buffer.
        long long first = std::max<long long>(address, 0);
        long long end = std::min<long long>(static_cast<long long>(address) + count, size);
        if (first < end)
            std::memcpy(words + (first - address), regs + first,
                        sizeof *words * static_cast<size_t>(end - first));
        bool inside = address >= 0 && static_cast<long long>(address) + count <= size;
        return inside ? CVDLLRZ_OK : CVDLLRZ_E_RANGE;
    });
    return simctl_take_status("CVDLLRZ_RegRead", status);
}
#endif

} // extern "C"
