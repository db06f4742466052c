// Views of a message's attachment for Python without a copy: ZorMsg.body_view and the decoders' input.
#include "body_view.h"

#include "internal/pyref.h"
#include "pyzormsg.h"

namespace py = pybind11;

namespace {

// From this size on a decoder reads the body through a view; below it a copy
// costs less than the export object and the memoryview.
constexpr uint32_t kViewFromSize = 4096;

// What a memoryview over the attachment is made from: it exports the bytes
// and, for as long as it lives, holds the message's Python object and counts
// as a view of its body.
struct BodyExport {
    PyObject_HEAD PyObject* owner;  // the Python ZorMsg, strong
    ZorMsg* msg;                    // inside owner
    void* data;
    Py_ssize_t size;
};

int exportBuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* e = reinterpret_cast<BodyExport*>(self);
    return PyBuffer_FillInfo(view, self, e->data, e->size, 1, flags);  // read-only: refuses a writable request
}

void releaseExport(PyObject* self) {
    auto* e = reinterpret_cast<BodyExport*>(self);
    const bool tracked = PyType_IS_GC(Py_TYPE(self));
    if (tracked) PyObject_GC_UnTrack(self);
    --e->msg->body_views;  // while the owner, and so the message, still lives
    Py_DECREF(e->owner);
    if (tracked) {
        PyObject_GC_Del(self);
    } else {
        PyObject_Free(self);
    }
}

// The exporter holds its message, and a message that can hold a view of its
// own body (a subclass keeping self.view = self.body_view) makes a cycle
// through it: the collector must see that edge. There is no clear: the
// exporter lets go of its message only when it dies, so the body outlives
// every view, and the collector breaks such a cycle at the view or the
// message's __dict__. A message the collector does not track (a plain
// ZorMsg, which has no __dict__) cannot be in a cycle: its exporter is of the
// other kind, which costs less to make.
int traverseExport(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<BodyExport*>(self)->owner);
    return 0;
}

PyBufferProcs g_exportBuffer = {exportBuffer, nullptr};
PyTypeObject g_exportType{};
PyTypeObject g_trackedExportType{};

void readyExportType(PyTypeObject& type, const char* name, unsigned long gcFlag) {
#if PY_VERSION_HEX >= 0x03090000
    Py_SET_REFCNT(&type, 1);
#else
    Py_REFCNT(&type) = 1;
#endif
    type.tp_name = name;
    type.tp_basicsize = sizeof(BodyExport);
    type.tp_flags = Py_TPFLAGS_DEFAULT | gcFlag;
    type.tp_doc = "The exporter behind ZorMsg.body_view.";
    type.tp_dealloc = releaseExport;
    if (gcFlag != 0) type.tp_traverse = traverseExport;
    type.tp_as_buffer = &g_exportBuffer;
    if (PyType_Ready(&type) != 0) throw py::error_already_set();
}

// The exporter's type for `owner`.
PyTypeObject* exportType(PyObject* owner) {
    static bool ready = false;  // main interpreter only, under the GIL
    if (!ready) {
        readyExportType(g_exportType, "zormsg.BodyExport", 0);
        readyExportType(g_trackedExportType, "zormsg.BodyExport", Py_TPFLAGS_HAVE_GC);
        ready = true;
    }
    return PyObject_IS_GC(owner) ? &g_trackedExportType : &g_exportType;
}

py::memoryview viewOf(PyObject* owner, PyZorMsg& msg) {
    static char empty[1] = {0};
    PyTypeObject* type = exportType(owner);
    const bool tracked = PyType_IS_GC(type);
    auto* e = tracked ? PyObject_GC_New(BodyExport, type) : PyObject_New(BodyExport, type);
    if (e == nullptr) throw py::error_already_set();
    // Read after the allocation, which may have run a finalizer that wrote
    // the body; from the count on, writes are refused.
    const Bytes body = msg.msg.getBinaryAttachment();
    Py_INCREF(owner);
    e->owner = owner;
    e->msg = &msg.msg;
    e->data = body.bytes_p != nullptr ? body.bytes_p : empty;
    e->size = body.bytes_p != nullptr ? static_cast<Py_ssize_t>(body.size) : 0;
    ++msg.msg.body_views;
    if (tracked) PyObject_GC_Track(e);
    py::object exporter = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(e));
    return py::reinterpret_steal<py::memoryview>(stealOrThrow(PyMemoryView_FromObject(exporter.ptr())).release());
}

PyObject* pythonObjectOf(PyZorMsg& msg) {
    return py::detail::get_object_handle(&msg, py::detail::get_type_info(typeid(PyZorMsg))).ptr();
}

}  // namespace

py::memoryview bodyView(PyZorMsg& msg) {
    PyObject* owner = pythonObjectOf(msg);
    if (owner == nullptr) throw py::type_error("ZorMsg.body_view: the message has no Python object");
    return viewOf(owner, msg);
}

py::object bodySource(PyZorMsg& msg) {
    const Bytes body = msg.msg.getBinaryAttachment();
    if (body.bytes_p != nullptr && body.size >= kViewFromSize) {
        if (PyObject* owner = pythonObjectOf(msg)) return viewOf(owner, msg);
    }
    return stealOrThrow(PyBytes_FromStringAndSize(static_cast<const char*>(body.bytes_p), body.size));
}
