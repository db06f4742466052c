// Fast accessors: hot properties read and written without pybind11's generic dispatch.
//
// pybind11 calls every property through its dispatcher: an argument tuple, the
// overload loop, a type lookup per caster. For the hot members that is most of
// the cost of a small read or write. speedUp() replaces such a property by one
// whose getter and setter are plain C functions that handle the exact expected
// argument type themselves and hand every other argument to the pybind11
// function the property had, so conversions, accepted types and error texts
// stay those of the binding. The member functions called are the same, so are
// their checks (conversion marks, exports) and the GIL rules: the GIL is held
// throughout. The new property keeps the old one's doc, and its functions keep
// the old functions' names and docstrings.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace fastprop {

namespace py = pybind11;
namespace pyd = pybind11::detail;

// What one fast function knows. Owned by the capsule that is the function's
// __self__ (as a pybind11 function's is), so it goes with the function.
struct Slot {
    PyMethodDef def{};
    std::string name;
    std::string doc;
    py::object fallback;                          // the pybind11 function
    PyTypeObject* self_type = nullptr;            // exact type of the instance
    PyTypeObject* arg_type = nullptr;             // exact type of a class-typed value, else null
    const pyd::type_info* result_info = nullptr;  // type of a class-typed result, else null
};

inline Slot& slotOf(PyObject* capsule) { return *static_cast<Slot*>(PyCapsule_GetPointer(capsule, nullptr)); }

inline PyObject* callFallback(const Slot& slot, PyObject* const* args, Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(slot.fallback.ptr(), args, static_cast<size_t>(nargs), nullptr);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(slot.fallback.ptr(), args, static_cast<size_t>(nargs), nullptr);
#else
    return _PyObject_FastCall(slot.fallback.ptr(), const_cast<PyObject**>(args), nargs);
#endif
}

// The C++ object of a pybind11 instance of exactly `type`, or null for
// anything else (another type, a subclass, an instance not initialised):
// those take the binding's own path.
template <class T>
T* exactInstance(PyObject* obj, PyTypeObject* type) {
    if (Py_TYPE(obj) != type) return nullptr;
    auto* inst = reinterpret_cast<pyd::instance*>(obj);
    if (!inst->simple_layout) return nullptr;
    return static_cast<T*>(inst->simple_value_holder[0]);
}

template <class T>
constexpr bool isClassType() {
    return !std::is_same_v<T, bool> && !std::is_same_v<T, std::string> && !std::is_base_of_v<py::handle, T>;
}

// Loads `value` as an argument of type A when it has the exact type the
// binding expects; false sends it to the binding instead. Primitive types use
// pybind11's own caster without conversion, so what they make is the same.
template <class A>
class ExactArg {
public:
    bool load(PyObject* value, const Slot& slot) {
        if constexpr (isClassType<A>()) {
            ptr_ = exactInstance<A>(value, slot.arg_type);
            return ptr_ != nullptr;
        } else {
            if constexpr (std::is_same_v<A, bool>) {
                if (value != Py_True && value != Py_False) return false;
            } else if constexpr (std::is_same_v<A, std::string>) {
                if (!PyUnicode_CheckExact(value)) return false;
            } else if constexpr (std::is_same_v<A, py::bytes>) {
                if (!PyBytes_CheckExact(value)) return false;
            } else if constexpr (std::is_same_v<A, py::dict>) {
                if (!PyDict_CheckExact(value)) return false;
            } else {
                static_assert(!sizeof(A), "no exact type known for this argument");
            }
            // A str that cannot be encoded fails here; the binding then
            // raises its TypeError.
            if (caster_.load(value, false)) return true;
            PyErr_Clear();
            return false;
        }
    }
    A& get() {
        if constexpr (isClassType<A>()) {
            return *ptr_;
        } else {
            return pyd::cast_op<A&>(caster_);
        }
    }

private:
    A* ptr_ = nullptr;
    std::conditional_t<isClassType<A>(), char, pyd::make_caster<A>> caster_{};
};

template <class T>
void* moveConstruct(const void* p) {
    return new T(std::move(*const_cast<T*>(static_cast<const T*>(p))));
}

template <class T>
void* copyConstruct(const void* p) {
    return new T(*static_cast<const T*>(p));
}

// A result to Python as the binding returns it: by value (`policy` move) or a
// field of `parent` (reference_internal).
template <class R>
PyObject* toPython(R& value, const Slot& slot, py::return_value_policy policy, PyObject* parent) {
    if constexpr (isClassType<R>()) {
        return pyd::type_caster_generic::cast(&value, policy, parent, slot.result_info, copyConstruct<R>,
                                              moveConstruct<R>)
            .ptr();
    } else {
        return pyd::make_caster<R>::cast(std::move(value), policy, parent).ptr();
    }
}

// The binding's own refusal of arguments it cannot take. pybind11 takes
// None for the instance as a null pointer and crashes on it
// (ZorMsg.dest.fget(None)): that one the fast accessors refuse themselves,
// in the binding's words.
inline PyObject* refuseNoneInstance(const Slot& slot, PyObject* const* args, Py_ssize_t nargs) {
    std::string text = slot.name +
                       "(): incompatible function arguments. The following argument types are "
                       "supported:\n    1. " +
                       slot.doc + "\nInvoked with: ";
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyObject* r = PyObject_Repr(args[i]);
        if (r == nullptr) return nullptr;
        const char* c = PyUnicode_AsUTF8(r);
        if (c == nullptr) {
            Py_DECREF(r);
            return nullptr;
        }
        text += (i != 0 ? ", " : "") + std::string(c);
        Py_DECREF(r);
    }
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

// Anything but an instance of exactly the class goes to the binding.
inline PyObject* notExact(const Slot& slot, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs >= 1 && args[0] == Py_None) return refuseNoneInstance(slot, args, nargs);
    return callFallback(slot, args, nargs);
}

// Runs `body`, turning a C++ exception into the Python error the binding
// would raise for it.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // a thread ended by the interpreter unwinds on
#endif
    } catch (...) {
        pyd::try_translate_exceptions();
        return nullptr;
    }
}

// How a property reaches its member M: a getter R C::get() returns a value,
// a setter void C::set(A) takes one, a field D C::* (def_readwrite) is read
// by reference to its owner and assigned.
template <auto M, class = decltype(M)>
struct Access;
template <auto M, class C, class R>
struct Access<M, R (C::*)()> {
    using Self = C;
    using Value = R;
    static constexpr py::return_value_policy policy = py::return_value_policy::move;
    static R read(C& c) { return (c.*M)(); }
};
template <auto M, class C, class A>
struct Access<M, void (C::*)(A)> {
    using Self = C;
    using Value = std::decay_t<A>;
    static void write(C& c, Value& v) { (c.*M)(v); }
};
template <auto M, class C, class D>
struct Access<M, D C::*> {
    using Self = C;
    using Value = D;
    static constexpr py::return_value_policy policy = py::return_value_policy::reference_internal;
    static D& read(C& c) { return c.*M; }
    static void write(C& c, D& v) { c.*M = v; }
};

// fget(self).
template <auto Get>
PyObject* getter(PyObject* capsule, PyObject* self) {
    using A = Access<Get>;
    const Slot& slot = slotOf(capsule);
    auto* obj = exactInstance<typename A::Self>(self, slot.self_type);
    if (obj == nullptr) return notExact(slot, &self, 1);
    return guarded([&] {
        decltype(auto) value = A::read(*obj);
        constexpr bool owned = A::policy == py::return_value_policy::reference_internal;
        return toPython(value, slot, A::policy, owned ? self : nullptr);
    });
}

// fset(self, value).
template <auto Set>
PyObject* setter(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs) {
    using A = Access<Set>;
    const Slot& slot = slotOf(capsule);
    typename A::Self* obj = nargs == 2 ? exactInstance<typename A::Self>(args[0], slot.self_type) : nullptr;
    ExactArg<typename A::Value> arg;
    if (obj == nullptr || !arg.load(args[1], slot)) return notExact(slot, args, nargs);
    return guarded([&] {
        A::write(*obj, arg.get());
        Py_RETURN_NONE;
    });
}

template <class T>
PyTypeObject* registeredType() {
    if constexpr (isClassType<T>()) {
        const pyd::type_info* info = pyd::get_type_info(typeid(T));
        if (info == nullptr)
            throw std::runtime_error(std::string("fast accessor: type not registered: ") + typeid(T).name());
        return info->type;
    } else {
        return nullptr;
    }
}

// A function like `original` (same name and docstring) that runs `impl`.
template <class Self, class Value>
py::object fastFunction(py::handle original, PyCFunction impl, int flags) {
    auto slot = std::make_unique<Slot>();
    slot->name = original.attr("__name__").cast<std::string>();
    py::object doc = original.attr("__doc__");
    slot->doc = doc.is_none() ? std::string() : doc.cast<std::string>();
    slot->fallback = py::reinterpret_borrow<py::object>(original);
    slot->self_type = registeredType<Self>();
    slot->arg_type = registeredType<Value>();
    if constexpr (isClassType<Value>()) slot->result_info = pyd::get_type_info(typeid(Value));
    slot->def.ml_name = slot->name.c_str();
    slot->def.ml_meth = impl;
    slot->def.ml_flags = flags;
    slot->def.ml_doc = doc.is_none() ? nullptr : slot->doc.c_str();
    py::capsule owner(slot.get(), [](void* p) { delete static_cast<Slot*>(p); });
    Slot* owned = slot.release();  // the capsule's now
    PyObject* fn = PyCFunction_NewEx(&owned->def, owner.ptr(), nullptr);
    if (fn == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(fn);
}

template <class Impl>
PyCFunction asCFunction(Impl impl) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl));
}

// Puts the fast property in place of `cls.name`, which the binding made.
inline void replaceProperty(py::handle cls, const char* name, const py::object& fget, const py::object& fset) {
    py::object old = cls.attr(name);
    py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
    cls.attr(name) = property(fget, fset, py::none(), old.attr("__doc__"));
}

// Property `name` of `cls`, made by def_property(name, Get, Set),
// def_property_readonly(name, Get) (Set = nullptr) or def_readwrite(name, M)
// (Get = Set = M).
template <auto Get, auto Set = nullptr>
void speedUp(py::handle cls, const char* name) {
    using G = Access<Get>;
    py::object old = cls.attr(name);
    py::object fget =
        fastFunction<typename G::Self, typename G::Value>(old.attr("fget"), asCFunction(getter<Get>), METH_O);
    py::object fset = py::none();
    if constexpr (!std::is_same_v<decltype(Set), std::nullptr_t>) {
        using S = Access<Set>;
        fset = fastFunction<typename S::Self, typename S::Value>(old.attr("fset"), asCFunction(setter<Set>),
                                                                 METH_FASTCALL);
    }
    replaceProperty(cls, name, fget, fset);
}

}  // namespace fastprop
