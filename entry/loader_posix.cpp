#include "entry/loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

namespace morlane {

ModuleHandle load_module(const char* file_name, LoadError* error) noexcept {
    // RTLD_LOCAL keeps the outside library's symbols out of the JVM's global namespace.
    ModuleHandle module = dlopen(file_name, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr && error != nullptr) {
        // dlerror's text is the calling thread's own, and names the file and the cause.
        const char* text = dlerror();
        std::snprintf(error->text, sizeof error->text, "%s", text != nullptr ? text : "unknown");
    }
    return module;
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    return dlsym(module, entry);
}

void release_module(ModuleHandle module) noexcept {
    dlclose(module);
}

#if defined(__LP64__)
namespace {

bool elf32_x86(const std::string& path) noexcept {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    Elf32_Ehdr header{};
    const bool x86 = read(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header) &&
                     std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
                     header.e_ident[EI_CLASS] == ELFCLASS32 && header.e_machine == EM_386;
    close(fd);
    return x86;
}

} // namespace

bool find_32bit_library(const char* file_name, std::string& path, LoadError& why) noexcept {
    if (std::strchr(file_name, '/') != nullptr) { // a path is not searched for
        path = file_name;
        std::snprintf(why.text, sizeof why.text, "%s is not a 32-bit library", file_name);
        return elf32_x86(path);
    }
    // LD_LIBRARY_PATH, then where 32-bit libraries lie on multiarch and biarch systems. The 32-bit
    // loader passes over a file of another class and goes on searching, and so does this.
    const char* variable = std::getenv("LD_LIBRARY_PATH");
    const std::string folders =
        (variable != nullptr ? std::string(variable) + ":" : std::string()) +
        "/lib/i386-linux-gnu:/usr/lib/i386-linux-gnu:/lib32:/usr/lib32:/usr/local/lib:/lib:/usr/"
        "lib";
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t end = folders.find_first_of(":;", at);
        const std::string folder = folders.substr(at, end - at);
        const std::string candidate = (folder.empty() ? "." : folder) + "/" + file_name;
        if (elf32_x86(candidate)) {
            path = candidate;
            return true;
        }
        at = end == std::string::npos ? folders.size() + 1 : end + 1;
    }
    std::snprintf(why.text, sizeof why.text, "no 32-bit %s in %s", file_name, folders.c_str());
    return false;
}
#endif

} // namespace morlane
