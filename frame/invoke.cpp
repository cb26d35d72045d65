#include "frame/entry.h"

#include "corvane/corvane_api.h"
#include "link/link_api.h"

namespace morlane {

const char* entry_name(Entry entry) noexcept {
    switch (entry) {
    case Entry::Open:
        return "CVDLLRZ_Open";
    case Entry::Close:
        return "CVDLLRZ_Close";
    case Entry::RunMode:
        return "CVDLLRZ_RunMode";
    case Entry::StopMode:
        return "CVDLLRZ_StopMode";
    case Entry::DownLoad:
        return "CVDLLRZ_DownLoad";
    case Entry::RegWrite:
        return "CVDLLRZ_RegWrite";
    case Entry::RegRead:
        return "CVDLLRZ_RegRead";
    case Entry::Poke:
        return "CVDA_Poke";
    case Entry::Request:
        return "CVDA_Request";
    }
    return "";
}

namespace {
template <typename Fn> Fn as(void* address) noexcept {
    return reinterpret_cast<Fn>(address);
}
} // namespace

int invoke(void* address, Entry entry, const Call& c) noexcept {
    const std::int32_t* a = c.args;
    switch (entry) {
    case Entry::Open:
        return as<link::OpenFn>(address)(a[0], a[1], a[2], a[3], a[4]);
    case Entry::Close:
        return as<link::CloseFn>(address)(a[0]);
    case Entry::RunMode:
        return as<link::RunModeFn>(address)(a[0], a[1]);
    case Entry::StopMode:
        return as<link::StopModeFn>(address)(a[0], a[1]);
    case Entry::DownLoad:
        return as<link::DownLoadFn>(address)(a[0], a[1], c.texts[0]);
    case Entry::RegWrite:
        return as<link::RegWriteFn>(address)(a[0], a[1], a[2], c.words, c.count);
    case Entry::RegRead:
        return as<link::RegReadFn>(address)(a[0], a[1], a[2], c.words, c.count);
    case Entry::Poke:
        return as<corvane::PokeFn>(address)(c.texts[0], c.texts[1], c.texts[2]);
    case Entry::Request:
        return as<corvane::RequestFn>(address)(c.texts[0], c.texts[1], c.reply);
    }
    return -1;
}

} // namespace morlane
