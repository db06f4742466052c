// Which loaded copy of the client library a module calls: zormsg publishes it, the modules sharing its types compare.
#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "internal/client_library_copy.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

// The key under which zormsg publishes its copy in pybind11's shared data,
// which every module sharing zormsg's types shares too.
constexpr const char* kPublishedKey = "zormsg.client_library";

// One function of the library as this module resolves it: two copies of the
// library (a wheel's renamed one beside an installed one) give two addresses.
void* thisModulesCopy() { return reinterpret_cast<void*>(&zorClient_msg_alloc); }

std::string fileOf(void* address) {
    Dl_info info;
    if (address != nullptr && dladdr(address, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
    return "?";
}

}  // namespace

bool pyzormsg_detail::sameClientLibrary = false;

void publishClientLibrary() {
    py::set_shared_data(kPublishedKey, thisModulesCopy());
    pyzormsg_detail::sameClientLibrary = true;
}

void checkSameClientLibrary() {
    void* published = py::get_shared_data(kPublishedKey);
    // Nothing published: a zormsg that does not say (or not imported), so nothing to tell apart.
    if (published != nullptr && published != thisModulesCopy()) {
        // A message handle of one copy means nothing to the other, or names another message there.
        throw std::runtime_error("zormsg: this module and zormsg call two different copies of the client library (" +
                                 fileOf(thisModulesCopy()) + " and " + fileOf(published) +
                                 "): a message of one cannot cross to the other; load one copy per process "
                                 "(docs/native.md, \"One client library per process\")");
    }
    pyzormsg_detail::sameClientLibrary = published != nullptr;
}
