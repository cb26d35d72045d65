#include "plc/cvdll1rz1.h"

#include "common/journal_line.h"
#include "common/load_count.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

struct Plc {
    std::mutex mutex;
    bool open = false;
    bool running = false;
    int unit = 0;
    int protocol = 0;
    int timeout = 0;
    int retries = 0;
    char download[260] = {};
    unsigned short data[CVDLLRZ_DATA_REGISTERS] = {};
    unsigned short link[CVDLLRZ_LINK_REGISTERS] = {};
};

// Static storage keeps register transfers free of heap allocation; it is gone when the library is
// unloaded, as a real link would be.
Plc plcs[CVDLLRZ_LINKS];

const sim::LoadCount load_count("CVDLL1RZ1.dll");

template <class Work> int onLink(int link, Work work) {
    if (link < 0 || link >= CVDLLRZ_LINKS)
        return CVDLLRZ_E_LINK;
    Plc& plc = plcs[link];
    std::lock_guard<std::mutex> lock(plc.mutex);
    return work(plc);
}

template <class Work> int onOpenLink(int link, Work work) {
    return onLink(link, [&](Plc& plc) { return plc.open ? work(plc) : CVDLLRZ_E_NOT_OPEN; });
}

// Mode changes and downloads address the PLC by its station number as well.
template <class Work> int onUnit(int link, int unit, Work work) {
    return onOpenLink(link,
                      [&](Plc& plc) { return unit == plc.unit ? work(plc) : CVDLLRZ_E_UNIT; });
}

unsigned short* registers(Plc& plc, int area, long long& size) {
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
    int status = onLink(link, [&](Plc& plc) {
        if (plc.open)
            return CVDLLRZ_E_ALREADY_OPEN;
        if (protocol != 101 && protocol != 110 && protocol != 111)
            return CVDLLRZ_E_PROTOCOL;
        if (unit < 0 || unit >= CVDLLRZ_UNITS || timeout < 0 || retries < 0)
            return CVDLLRZ_E_ARGUMENT;
        plc.open = true;
        plc.running = false;
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
    int status = onOpenLink(link, [](Plc& plc) {
        plc.open = false;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_Close", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_RunMode
int WINAPI CVDLLRZ_RunMode(int link, int unit) {
    sim::enter("CVDLLRZ_RunMode", link, unit);
    int status = onUnit(link, unit, [](Plc& plc) {
        plc.running = true;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_RunMode", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_StopMode
int WINAPI CVDLLRZ_StopMode(int link, int unit) {
    sim::enter("CVDLLRZ_StopMode", link, unit);
    int status = onUnit(link, unit, [](Plc& plc) {
        plc.running = false;
        return CVDLLRZ_OK;
    });
    return simctl_take_status("CVDLLRZ_StopMode", status);
}
#endif

#ifndef SIM_WITHOUT_CVDLLRZ_DownLoad
int WINAPI CVDLLRZ_DownLoad(int link, int unit, const char* file) {
    sim::enter("CVDLLRZ_DownLoad", link, unit, sim::Text{file});
    int status = onUnit(link, unit, [&](Plc& plc) {
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
    int status = onOpenLink(link, [&](Plc& plc) {
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
    sim::enter("CVDLLRZ_RegRead", link, area, address, sim::Out{}, count);
    int status = onOpenLink(link, [&](Plc& plc) {
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
