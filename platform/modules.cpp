#include "platform/modules.h"

#include <dlfcn.h>

namespace platform {

std::string codeLibraryFolder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&codeLibraryFolder), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void* loadModuleSymbol(const std::string& path, const char* symbol, std::string* error) {
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* why = dlerror();
        if (error) *error = why ? why : "unknown error";
        return nullptr;
    }
    void* address = dlsym(module, symbol);
    if (!address && error) *error = std::string("no symbol ") + symbol;
    return address;
}

}  // namespace platform
