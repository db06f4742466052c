// Containers and converters for pytest: build library maps and streams from
// plain Python descriptions, read them back raw, and run the converters.
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "dict2container.h"
#include "map2dict.h"
#include "testing.h"
#include "unbound.h"
#include "zor2map.h"
#if ZORMSG_TEST_CONTROLS
#include "zorclient_testing.h"
#endif

namespace py = pybind11;

namespace {

// A library container with the memory it lives in: either a caller buffer or
// a message whose body it is. Closed (and the message freed) on destruction.
class Container {
public:
    Container() = default;
    Container(const Container&) = delete;
    Container& operator=(const Container&) = delete;
    ~Container() {
        if (handle != nullptr) zorClient_container_closeMapStream(&handle);
        if (msg != nullptr) zorClient_msg_free(&msg);
    }

    std::unique_ptr<char[]> buf;
    size_t size = 0;
    zorClient_opaqueContainer_pt handle = nullptr;
    zorClient_opaqueMsg_pt msg = nullptr;
};

void addFields(zorClient_opaqueContainer_pt c, py::handle fields, size_t size);

// One field from (type_code, value) under name (null in a stream).
void addField(zorClient_opaqueContainer_pt c, const char* name, int type, py::handle v, size_t size) {
    switch (type) {
        case ZORCLIENT_BOOL: check(zorClient_container_addBoolean(c, v.cast<uint8_t>(), name), "addBoolean"); break;
        case ZORCLIENT_UINT8: check(zorClient_container_addUint8(c, v.cast<uint8_t>(), name), "addUint8"); break;
        case ZORCLIENT_INT8: check(zorClient_container_addInt8(c, v.cast<int8_t>(), name), "addInt8"); break;
        case ZORCLIENT_UINT16: check(zorClient_container_addUint16(c, v.cast<uint16_t>(), name), "addUint16"); break;
        case ZORCLIENT_INT16: check(zorClient_container_addInt16(c, v.cast<int16_t>(), name), "addInt16"); break;
        case ZORCLIENT_UINT32: check(zorClient_container_addUint32(c, v.cast<uint32_t>(), name), "addUint32"); break;
        case ZORCLIENT_INT32: check(zorClient_container_addInt32(c, v.cast<int32_t>(), name), "addInt32"); break;
        case ZORCLIENT_UINT64: check(zorClient_container_addUint64(c, v.cast<uint64_t>(), name), "addUint64"); break;
        case ZORCLIENT_INT64: check(zorClient_container_addInt64(c, v.cast<int64_t>(), name), "addInt64"); break;
        case ZORCLIENT_WCHAR: {
            uint32_t ch =
                py::isinstance<py::str>(v) ? static_cast<uint32_t>(PyUnicode_ReadChar(v.ptr(), 0)) : v.cast<uint32_t>();
            check(zorClient_container_addWchar(c, ch, name), "addWchar");
            break;
        }
        case ZORCLIENT_STRING:
            if (v.is_none()) {
                check(zorClient_container_addString(c, nullptr, name), "addString");
            } else {
                std::string s = v.cast<std::string>();
                check(zorClient_container_addString(c, s.c_str(), name), "addString");
            }
            break;
        case ZORCLIENT_BYTEARRAY:
        case ZORCLIENT_SMF: {
            std::string s = v.cast<std::string>();
            auto data = reinterpret_cast<const zorClient_uint8_t*>(s.data());
            auto len = static_cast<zorClient_uint32_t>(s.size());
            if (type == ZORCLIENT_SMF)
                check(zorClient_container_addSmf(c, data, len, name), "addSmf");
            else
                check(zorClient_container_addByteArray(c, data, len, name), "addByteArray");
            break;
        }
        case ZORCLIENT_FLOAT: check(zorClient_container_addFloat(c, v.cast<float>(), name), "addFloat"); break;
        case ZORCLIENT_DOUBLE: check(zorClient_container_addDouble(c, v.cast<double>(), name), "addDouble"); break;
        case ZORCLIENT_MAP:
        case ZORCLIENT_STREAM: {
            std::unique_ptr<char[]> area(new char[size]);
            zorClient_opaqueContainer_pt sub = nullptr;
            if (type == ZORCLIENT_MAP)
                check(zorClient_container_createMap(&sub, area.get(), size), "createMap");
            else
                check(zorClient_container_createStream(&sub, area.get(), size), "createStream");
            try {
                addFields(sub, v, size);
                check(zorClient_container_addContainer(c, sub, name), "addContainer");
            } catch (...) {
                zorClient_container_closeMapStream(&sub);
                throw;
            }
            zorClient_container_closeMapStream(&sub);
            break;
        }
        case ZORCLIENT_NULL: check(zorClient_container_addNull(c, name), "addNull"); break;
        case ZORCLIENT_DESTINATION: {
            auto t = v.cast<py::tuple>();
            std::string dest = t[1].cast<std::string>();
            zorClient_destination_t d{static_cast<zorClient_destinationType_t>(t[0].cast<int>()), dest.c_str()};
            check(zorClient_container_addDestination(c, &d, name), "addDestination");
            break;
        }
        default: throw py::value_error("no such field type: " + std::to_string(type));
    }
}

// fields: iterable of (name or None, type_code, value).
void addFields(zorClient_opaqueContainer_pt c, py::handle fields, size_t size) {
    for (py::handle item : fields) {
        auto t = item.cast<py::tuple>();
        std::string name;
        bool named = !t[0].is_none();
        if (named) name = t[0].cast<std::string>();
        addField(c, named ? name.c_str() : nullptr, t[1].cast<int>(), t[2], size);
    }
}

std::unique_ptr<Container> newContainer(bool isMap, size_t size) {
    auto c = std::make_unique<Container>();
    c->buf.reset(new char[size]);
    c->size = size;
    if (isMap)
        check(zorClient_container_createMap(&c->handle, c->buf.get(), size), "createMap");
    else
        check(zorClient_container_createStream(&c->handle, c->buf.get(), size), "createStream");
    return c;
}

std::unique_ptr<Container> make(bool isMap, py::handle fields, size_t size) {
    auto c = newContainer(isMap, size);
    addFields(c->handle, fields, size);
    return c;
}

// Raw walk, no converter involved: [(name or None, type_code, value)], with
// texts as bytes (None for a null text) and nested containers as lists.
py::list readFields(zorClient_opaqueContainer_pt c) {
    py::list out;
    check(zorClient_container_rewind(c), "rewind");
    zorClient_field_t f;
    const char* name = nullptr;
    zorClient_returnCode_t rc;
    while ((rc = zorClient_container_getNextField(c, &f, sizeof(f), &name)) == ZORCLIENT_OK) {
        py::object v = py::none();
        switch (f.type) {
            case ZORCLIENT_BOOL: v = py::int_(f.value.boolean); break;
            case ZORCLIENT_UINT8: v = py::int_(f.value.uint8); break;
            case ZORCLIENT_INT8: v = py::int_(f.value.int8); break;
            case ZORCLIENT_UINT16: v = py::int_(f.value.uint16); break;
            case ZORCLIENT_INT16: v = py::int_(f.value.int16); break;
            case ZORCLIENT_UINT32: v = py::int_(f.value.uint32); break;
            case ZORCLIENT_INT32: v = py::int_(f.value.int32); break;
            case ZORCLIENT_UINT64: v = py::int_(f.value.uint64); break;
            case ZORCLIENT_INT64: v = py::int_(f.value.int64); break;
            case ZORCLIENT_WCHAR: v = py::int_(f.value.wchar); break;
            case ZORCLIENT_STRING:
                if (f.value.string != nullptr) v = py::bytes(f.value.string);
                break;
            case ZORCLIENT_BYTEARRAY:
            case ZORCLIENT_SMF: v = py::bytes(reinterpret_cast<const char*>(f.value.bytearray), f.length); break;
            case ZORCLIENT_FLOAT: v = py::float_(f.value.float32); break;
            case ZORCLIENT_DOUBLE: v = py::float_(f.value.float64); break;
            case ZORCLIENT_MAP:
            case ZORCLIENT_STREAM: v = readFields(f.value.map); break;
            case ZORCLIENT_DESTINATION:
                v = py::make_tuple(static_cast<int>(f.value.dest.destType),
                                   f.value.dest.dest ? py::str(f.value.dest.dest) : py::str());
                break;
            default: break;
        }
        out.append(
            py::make_tuple(name ? py::object(py::str(name)) : py::object(py::none()), static_cast<int>(f.type), v));
    }
    if (rc != ZORCLIENT_EOS) throw std::runtime_error("walk ended with code " + std::to_string(rc));
    return out;
}

// A raw field record of any type code for field2dict / field2list. Keeps
// the text a string field points at.
struct RawField {
    zorClient_field_t field;
    std::string text;
};

void fillRaw(RawField& r, int type, py::handle v) {
    std::memset(&r.field, 0, sizeof(r.field));
    std::memcpy(&r.field.type, &type, sizeof r.field.type);  // any code, named or not
    switch (type) {
        case ZORCLIENT_BOOL: r.field.value.boolean = v.cast<uint8_t>(); break;
        case ZORCLIENT_UINT8: r.field.value.uint8 = v.cast<uint8_t>(); break;
        case ZORCLIENT_INT8: r.field.value.int8 = v.cast<int8_t>(); break;
        case ZORCLIENT_UINT16: r.field.value.uint16 = v.cast<uint16_t>(); break;
        case ZORCLIENT_INT16: r.field.value.int16 = v.cast<int16_t>(); break;
        case ZORCLIENT_UINT32: r.field.value.uint32 = v.cast<uint32_t>(); break;
        case ZORCLIENT_INT32: r.field.value.int32 = v.cast<int32_t>(); break;
        case ZORCLIENT_UINT64: r.field.value.uint64 = v.cast<uint64_t>(); break;
        case ZORCLIENT_INT64: r.field.value.int64 = v.cast<int64_t>(); break;
        case ZORCLIENT_WCHAR: r.field.value.wchar = v.cast<uint32_t>(); break;
        case ZORCLIENT_STRING:
            if (!v.is_none()) {
                r.text = v.cast<std::string>();
                r.field.value.string = r.text.c_str();
            }
            break;
        case ZORCLIENT_FLOAT: r.field.value.float32 = v.cast<float>(); break;
        case ZORCLIENT_DOUBLE: r.field.value.float64 = v.cast<double>(); break;
        case ZORCLIENT_MAP:
        case ZORCLIENT_STREAM: r.field.value.map = v.cast<Container&>().handle; break;
        default: break;  // no value is read for the other codes
    }
}

// levels containers nested in each other, innermost holding the int 7 under
// "x" (map) or as its element (stream); built level by level in two areas.
std::unique_ptr<Container> makeDeep(int levels, bool isMap) {
    const size_t size = static_cast<size_t>(levels) * 64 + 1024;
    std::unique_ptr<char[]> areas[2] = {std::unique_ptr<char[]>(new char[size]),
                                        std::unique_ptr<char[]>(new char[size])};
    auto create = [&](zorClient_opaqueContainer_pt* c, char* buf) {
        if (isMap)
            check(zorClient_container_createMap(c, buf, size), "createMap");
        else
            check(zorClient_container_createStream(c, buf, size), "createStream");
    };
    const char* name = isMap ? "x" : nullptr;
    zorClient_opaqueContainer_pt inner = nullptr;
    create(&inner, areas[0].get());
    check(zorClient_container_addInt32(inner, 7, name), "addInt32");
    for (int i = 1; i < levels; ++i) {
        zorClient_opaqueContainer_pt outer = nullptr;
        create(&outer, areas[i % 2].get());
        check(zorClient_container_addContainer(outer, inner, name), "addContainer");
        zorClient_container_closeMapStream(&inner);
        inner = outer;
    }
    auto c = std::make_unique<Container>();
    c->buf = std::move(areas[(levels - 1) % 2]);
    c->size = size;
    c->handle = inner;
    return c;
}

py::object unboundDictToMap(PyObject* const* args, Py_ssize_t nargs) {
    unbound::expect("unbound_dict_to_map", nargs, 1);
    if (!PyDict_Check(args[0])) throw py::type_error("unbound_dict_to_map: d must be a dict");
    auto c = newContainer(true, 65536);
    dict2container(c->handle, py::reinterpret_borrow<py::dict>(args[0]));
    return py::cast(std::move(c));
}

}  // namespace

void registerContainerTesting(py::module_& m) {
    py::class_<Container>(m, "Container")
        .def_property_readonly("size", [](const Container& c) { return c.size; })
        .def_property_readonly("is_null", [](const Container& c) { return c.handle == nullptr; });

    m.def(
        "null_container", [] { return std::make_unique<Container>(); }, "A container slot holding no handle.");
#if ZORMSG_TEST_CONTROLS
    m.def(
        "container_handles_open", [] { return zorClient_testing_liveContainers(); },
        "Container handles the library has open now.");
#endif
    m.def(
        "flush_stdout", [] { std::fflush(stdout); }, "Flush C stdio, where the diagnostic lines wait.");

    m.def(
        "make_map", [](py::handle fields, size_t size) { return make(true, fields, size); }, py::arg("fields"),
        py::arg("size") = 65536, "Map from [(name, type_code, value)]; nested maps/streams take a list as value.");
    m.def(
        "make_stream", [](py::handle fields, size_t size) { return make(false, fields, size); }, py::arg("fields"),
        py::arg("size") = 65536, "Stream from [(None, type_code, value)].");
    m.def("make_deep", &makeDeep, py::arg("levels"), py::arg("is_map"));

    m.def(
        "read_fields", [](Container& c) { return readFields(c.handle); },
        "Raw walk: [(name, type_code, value)], texts as bytes, nested as lists.");

    m.def(
        "dict_to_map",
        [](py::dict d, size_t size) {
            auto c = newContainer(true, size);
            dict2container(c->handle, d);
            return c;
        },
        py::arg("d"), py::arg("size") = 65536);

    unbound::def<unboundDictToMap>(m, "unbound_dict_to_map", "dict_to_map(d) called directly.");

    m.def("map_to_dict", [](Container& c) {
        std::map<std::string, zorClient_field_t> table;
        zor2map(table, c.handle);
        py::dict d;
        map2dict(d, nullptr, table);
        return d;
    });
    m.def("stream_to_list", [](Container& c) {
        py::list l;
        stream2list(l, c.handle);
        return l;
    });
    m.def("stream_to_dict", [](Container& c, const char* name) {
        py::dict d;
        stream2dict(d, name, c.handle);
        return d;
    });
    m.def(
        "field_to_dict",
        [](const std::string& name, int type, py::handle value) {
            RawField r;
            fillRaw(r, type, value);
            py::dict d;
            field2dict(d, name.c_str(), r.field);
            return d;
        },
        py::arg("name"), py::arg("type_code"), py::arg("value") = py::none());
    m.def(
        "field_to_list",
        [](int type, py::handle value) {
            RawField r;
            fillRaw(r, type, value);
            py::list l;
            field2list(l, r.field);
            return l;
        },
        py::arg("type_code"), py::arg("value") = py::none());

    m.def(
        "zor2map_names",
        [](Container& c, std::vector<std::string> preset) {
            std::map<std::string, zorClient_field_t> table;
            zorClient_field_t mark{};
            mark.type = ZORCLIENT_UNKNOWN;
            for (auto& name : preset) table[name] = mark;
            int count = zor2map(table, c.handle);
            py::list entries;
            for (auto& e : table) entries.append(py::make_tuple(py::bytes(e.first), static_cast<int>(e.second.type)));
            return py::make_tuple(count, entries);
        },
        py::arg("container"), py::arg("preset") = std::vector<std::string>(),
        "(result, [(name, type_code)]) in table order; preset names start as type -1.");

    m.def("get_bytes_string", [](py::dict d) { return getBytesString(d); });

    m.def(
        "container_bytes",
        [](Container& c) {
            zorClient_opaqueMsg_pt msg = nullptr;
            check(zorClient_msg_alloc(&msg), "alloc");
            void* data = nullptr;
            zorClient_uint32_t len = 0;
            zorClient_returnCode_t rc = zorClient_msg_setBinaryAttachmentContainer(msg, c.handle);
            if (rc == ZORCLIENT_OK) rc = zorClient_msg_getBinaryAttachmentPtr(msg, &data, &len);
            py::bytes out = rc == ZORCLIENT_OK ? py::bytes(static_cast<const char*>(data), len) : py::bytes();
            zorClient_msg_free(&msg);
            check(rc, "attachment");
            return out;
        },
        "Encoded content of a map, as a message body carries it.");
#if ZORMSG_TEST_CONTROLS
    m.def(
        "map_from_bytes",
        [](py::bytes b) {
            auto c = std::make_unique<Container>();
            check(zorClient_msg_alloc(&c->msg), "alloc");
            std::string data = b;
            check(zorClient_testing_msg_setMapAttachment(c->msg, data.data(),
                                                         static_cast<zorClient_uint32_t>(data.size())),
                  "setMapAttachment");
            // Left null when the library refuses the body as a map.
            zorClient_msg_getBinaryAttachmentMap(c->msg, &c->handle);
            return c;
        },
        "The map body of a received message holding these bytes (unchecked).");
#endif
}
