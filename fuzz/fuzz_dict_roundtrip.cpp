// Nested Python dicts decoded from the fuzz bytes, written into a library
// map with dict2container and read back with zor2map and map2dict.
//
// The decoded values include what the writer must refuse or skip: keys that
// are not text, ints beyond 64 bits, str with lone surrogates, None, deep
// nesting. Exceptions are the documented outcome for those; a crash, a
// sanitizer report or a library handle left open is a finding.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>

#include "core/vocabulary.h"
#include "dict2container.h"
#include "fuzz_python.h"
#include "map2dict.h"
#include "zor2map.h"
#include "zorclient_testing.h"

namespace py = pybind11;

namespace {

constexpr size_t kArea = 64 * 1024;
constexpr int kMaxDepth = 300;

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool done() const { return n_ == 0; }
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    uint64_t u64() {
        uint64_t v = 0;
        const size_t k = n_ < 8 ? n_ : 8;
        std::memcpy(&v, p_, k);
        p_ += k;
        n_ -= k;
        return v;
    }
    std::string raw() {
        size_t len = byte() % 48;
        if (len > n_) len = n_;
        std::string s(reinterpret_cast<const char*>(p_), len);
        p_ += len;
        n_ -= len;
        return s;
    }
    // Any bytes as a str: undecodable bytes become lone surrogates, which
    // cannot be written back as UTF-8.
    py::object text() {
        const std::string s = raw();
        PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
        if (o == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(o);
    }

private:
    const uint8_t* p_;
    size_t n_;
};

py::object value(Reader& r, int depth);

py::dict dictOf(Reader& r, int depth) {
    py::dict d;
    const int count = r.byte() % 8;
    for (int i = 0; i < count && !r.done(); ++i) {
        py::object key;
        switch (r.byte() % 6) {
            case 0: key = py::str(kBytesKeyPrefix + r.raw()); break;  // the "bytes" key rule
            case 1: key = py::bytes(r.raw()); break;
            case 2: key = py::int_(static_cast<int64_t>(r.u64())); break;  // not text: refused
            default: key = r.text(); break;
        }
        d[key] = value(r, depth + 1);
    }
    return d;
}

py::object value(Reader& r, int depth) {
    const uint8_t op = r.byte();
    switch (op % 11) {
        case 0: return py::int_(static_cast<int64_t>(r.u64()));
        case 1: {  // may lie beyond 64 bits
            py::int_ big(r.u64());
            return big * py::int_(1 + (op >> 4));
        }
        case 2: {
            double f;
            const uint64_t bits = r.u64();
            std::memcpy(&f, &bits, sizeof f);
            return py::float_(f);
        }
        case 3: return r.text();
        case 4: return py::bytes(r.raw());
        case 5: return py::bool_(op & 0x80);
        case 6: return py::none();
        case 7:
        case 8: {
            if (depth > kMaxDepth) return py::none();
            py::list l;
            const int count = r.byte() % 8;
            for (int i = 0; i < count && !r.done(); ++i) l.append(value(r, depth + 1));
            if (op & 0x80) return py::tuple(l);
            return std::move(l);
        }
        default:
            if (depth > kMaxDepth) return py::none();
            return dictOf(r, depth);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startPython();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned containers = zorClient_testing_liveContainers();
    {
        Reader r(data, size);
        py::dict d;
        try {
            d = dictOf(r, 0);
        } catch (const std::exception&) {
            return 0;
        }
        // Exact size on the heap, so ASan sees any write past the area.
        std::unique_ptr<char[]> area(new char[kArea]);
        zorClient_opaqueContainer_pt map_p = nullptr;
        if (zorClient_container_createMap(&map_p, area.get(), kArea) != ZORCLIENT_OK) std::abort();
        try {
            dict2container(map_p, d);
        } catch (const std::exception&) {}
        try {
            std::map<std::string, zorClient_field_t> table;
            zor2map(table, map_p);
            py::dict back;
            map2dict(back, nullptr, table);
        } catch (const std::exception&) {}
        zorClient_container_closeMapStream(&map_p);
    }
    if (zorClient_testing_liveContainers() != containers) {
        std::fprintf(stderr, "container handles leaked: %u -> %u\n", containers, zorClient_testing_liveContainers());
        std::abort();
    }
    return 0;
}
