// The body codecs' stack guard: the depth of a value or a JSON text measured without recursion.
#include "internal/body_stack.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

constexpr size_t kUnbounded = std::numeric_limits<size_t>::max();
// orjson's decoder refuses nesting past this many levels from 3.10 on.
constexpr size_t kOrjsonDecodeLimit = 1024;

CodecStack g_jsonDecode{"orjson", kJsonDecodeBase, kJsonDecodePerLevel, kUnbounded, kUnbounded};

// Levels of `codec` that `left` bytes of stack hold.
size_t affordable(const CodecStack& codec, size_t left) {
    const size_t fixed = codec.base + kCodecReserve;
    if (left <= fixed || codec.perLevel == 0) return 0;
    return (left - fixed) / codec.perLevel;
}

[[noreturn]] void refuse(const CodecStack& codec, size_t levels) {
    const std::string text =
        codec.perLevel == 0
            ? std::string(codec.package) + ": decoding a body needs more stack than this thread has left"
            : std::string(codec.package) + ": a body nested deeper than " + std::to_string(levels) +
                  " levels needs more stack than this thread has left";
    PyErr_SetString(PyExc_RecursionError, text.c_str());
    throw py::error_already_set();
}

inline bool nested(PyObject* o) { return PyDict_Check(o) || PyList_Check(o) || PyTuple_Check(o); }

// Depth of the dicts, lists and tuples in v (keys too, as msgpack packs
// them), counted up to `enough` + 1. Reads the containers as they hold their
// items, running no Python code (a subclass's own items() is not asked).
size_t valueDepth(PyObject* v, size_t enough) {
    std::vector<std::pair<PyObject*, size_t>> todo{{v, 1}};
    size_t deepest = 1;
    while (!todo.empty() && deepest <= enough) {
        PyObject* o = todo.back().first;
        const size_t depth = todo.back().second;
        todo.pop_back();
        deepest = std::max(deepest, depth);
        auto visit = [&](PyObject* child) {
            if (nested(child)) todo.emplace_back(child, depth + 1);
        };
        if (PyDict_Check(o)) {
            Py_ssize_t pos = 0;
            PyObject* key;
            PyObject* value;
            while (PyDict_Next(o, &pos, &key, &value)) {
                visit(key);
                visit(value);
            }
        } else {
            const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
            PyObject** items = PySequence_Fast_ITEMS(o);
            for (Py_ssize_t i = 0; i < n; ++i) visit(items[i]);
        }
    }
    return deepest;
}

// Deepest nesting of arrays and objects in JSON text, counted up to
// `enough` + 1; brackets inside strings do not count. Malformed text is
// measured all the same: the decoder recurses before it finds the fault.
size_t jsonDepth(const char* p, size_t n, size_t enough) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > enough) break;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// The UTF-8 text of `data` for the duration of a scan: str, or any object
// with a byte buffer (bytes, a view of the attachment).
class TextOf {
public:
    explicit TextOf(PyObject* data) {
        if (PyUnicode_Check(data)) {
            Py_ssize_t size = 0;
            text_ = PyUnicode_AsUTF8AndSize(data, &size);
            size_ = static_cast<size_t>(size);
        } else if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) == 0) {
            held_ = true;
            text_ = static_cast<const char*>(view_.buf);
            size_ = static_cast<size_t>(view_.len);
        }
        // Not text: the decoder raises its own error, the scan sees nothing.
        if (text_ == nullptr) PyErr_Clear();
    }
    ~TextOf() {
        if (held_) PyBuffer_Release(&view_);
    }
    const char* data() const { return text_; }
    size_t size() const { return size_; }
    TextOf(const TextOf&) = delete;
    TextOf& operator=(const TextOf&) = delete;

private:
    Py_buffer view_{};
    bool held_ = false;
    const char* text_ = nullptr;
    size_t size_ = 0;
};

}  // namespace

void bodystack::checkValue(const CodecStack& codec, PyObject* value, size_t left) {
    const size_t levels = affordable(codec, left);
    if (valueDepth(value, levels) > levels) refuse(codec, levels);
}

void bodystack::checkJsonText(const CodecStack& codec, PyObject* data, size_t left) {
    const size_t levels = affordable(codec, left);
    const TextOf text(data);
    // A text nests no deeper than it is long, nor past the decoder's limit.
    if (std::min(codec.maxLevels, text.size()) <= levels) return;
    if (jsonDepth(text.data(), text.size(), levels) > levels) refuse(codec, levels);
}

void bodystack::checkFixed(const CodecStack& codec, size_t) { refuse(codec, 0); }

MainStack g_mainStack;

void learnMainStack() {
#if defined(__linux__)
    if (g_mainStack.size != 0 || syscall(SYS_gettid) != getpid()) return;  // not the main thread
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        g_mainStack.low = reinterpret_cast<uintptr_t>(addr);
        g_mainStack.size = size;
    }
    pthread_attr_destroy(&attr);
#endif
}

const CodecStack& jsonDecodeStack() { return g_jsonDecode; }

void learnJsonDecodeLimit(const char* version) {
    learnMainStack();
    // orjson.loads refuses nesting past 1024 levels from 3.9.15 on (measured
    // on the pins: 3.9.7 has no limit, 3.10.15 on stop at 1024). Asked of the
    // version, not of the decoder: a probe would run the decoder at import,
    // where an allocation failing inside it crashes orjson 3.9.
    unsigned major = 0, minor = 0, patch = 0;
    if (version == nullptr || std::sscanf(version, "%u.%u.%u", &major, &minor, &patch) < 2) return;
    const bool limited = major > 3 || (major == 3 && (minor > 9 || (minor == 9 && patch >= 15)));
    if (limited) g_jsonDecode = codecStack("orjson", kJsonDecodeBase, kJsonDecodePerLevel, kOrjsonDecodeLimit);
}
