// Fast accessors: hot properties read and written without pybind11's generic dispatch.
//
// pybind11 calls every property through its dispatcher: an argument tuple, the
// overload loop, a type lookup per caster. For the hot members that is most of
// the cost of a small read or write. property() registers a member with the
// binding and then puts in its place a property whose getter and setter are
// plain C functions: they take every instance of the class (subclasses too)
// and every value the member can run Python code for (any dict, anything the
// binding converts to bool), and hand the rest, which the binding refuses or
// converts without running Python code, to the pybind11 function the property
// had, so conversions, accepted types and error texts stay those of the
// binding.
//
// Why the binding is kept away from user code: while a pybind11 function runs,
// the binding keeps a frame of its own on a per-thread stack, and a greenlet
// that switches inside it (an encoder calling a dict subclass's items(), a
// __bool__) lets another greenlet push and pop frames out of order, which
// ends the process. No binding frame is live around a member called from here.
//
// The member functions called are the same, so are their checks (conversion
// marks, exports) and the GIL rules: the GIL is held throughout. The new
// property keeps the old one's doc, and its functions keep the old functions'
// names and docstrings.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
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
    PyTypeObject* self_type = nullptr;            // type of the instance
    PyTypeObject* arg_type = nullptr;             // type of a class-typed value, else null
    const pyd::type_info* result_info = nullptr;  // type of a class-typed result, else null
};

inline Slot& slotOf(PyObject* capsule) { return *static_cast<Slot*>(PyCapsule_GetPointer(capsule, nullptr)); }

// What tells a slot's capsule from others, for the tests: its context. Not
// its name, which PyCapsule_GetPointer would compare on every call.
constexpr const char* kSlotTag = "zormsg.fast_accessor";

inline bool isSlot(PyObject* capsule) {
    if (!PyCapsule_IsValid(capsule, nullptr)) return false;
    const auto* tag = static_cast<const char*>(PyCapsule_GetContext(capsule));
    return tag != nullptr && std::strcmp(tag, kSlotTag) == 0;
}

// The arguments of a vectorcall: `nargs` positional ones, then one per name
// in `kwnames` (null or a tuple).
struct Arguments {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    bool positionalOnly(Py_ssize_t n) const {
        return nargs == n && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0);
    }
};

inline PyObject* callFallback(const Slot& slot, const Arguments& a) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(slot.fallback.ptr(), a.args, static_cast<size_t>(a.nargs), a.kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(slot.fallback.ptr(), a.args, static_cast<size_t>(a.nargs), a.kwnames);
#else
    return _PyObject_FastCallKeywords(slot.fallback.ptr(), const_cast<PyObject**>(a.args), a.nargs, a.kwnames);
#endif
}

// The C++ object of a pybind11 instance of `type` or a subclass, or null
// for anything else (another type, an instance not initialised): those take
// the binding's own path, which refuses them without running Python code.
template <class T>
T* instanceOf(PyObject* obj, PyTypeObject* type) {
    if (Py_TYPE(obj) != type && !PyType_IsSubtype(Py_TYPE(obj), type)) return nullptr;
    auto* inst = reinterpret_cast<pyd::instance*>(obj);
    if (!inst->simple_layout) return nullptr;
    return static_cast<T*>(inst->simple_value_holder[0]);
}

template <class T>
constexpr bool isClassType() {
    return !std::is_same_v<T, bool> && !std::is_same_v<T, std::string> && !std::is_base_of_v<py::handle, T>;
}

// What becomes of a value offered to a setter.
enum class Loaded {
    yes,      // taken: the member is called with it
    binding,  // for the binding, which converts or refuses it without running Python code
    refused,  // refused here, in the binding's words (the binding would run Python code again)
};

// Loads `value` as an argument of type A through pybind11's own caster, so
// what it makes is the same as the binding's. Values whose conversion could
// run Python code (a __bool__) are converted here, outside any binding frame.
template <class A>
class ArgLoader {
public:
    Loaded load(PyObject* value, const Slot& slot) {
        if constexpr (isClassType<A>()) {
            ptr_ = instanceOf<A>(value, slot.arg_type);
            return ptr_ != nullptr ? Loaded::yes : Loaded::binding;
        } else if constexpr (std::is_same_v<A, bool>) {
            // True, False, None, or whatever has a __bool__ returning either.
            if (caster_.load(value, true)) return Loaded::yes;
            PyErr_Clear();
            return Loaded::refused;
        } else {
            if constexpr (std::is_same_v<A, std::string>) {
                if (!PyUnicode_CheckExact(value)) return Loaded::binding;
            } else if constexpr (std::is_same_v<A, py::bytes>) {
                if (!PyBytes_CheckExact(value)) return Loaded::binding;
            } else if constexpr (std::is_same_v<A, py::dict>) {
                if (!PyDict_Check(value)) return Loaded::binding;  // subclasses too: their items() is Python code
            } else {
                static_assert(!sizeof(A), "no loading known for this argument");
            }
            // A str that cannot be encoded fails here; the binding then
            // raises its TypeError.
            if (caster_.load(value, false)) return Loaded::yes;
            PyErr_Clear();
            return Loaded::binding;
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

// repr(obj) as the binding writes it into its messages.
inline void appendRepr(std::string& text, PyObject* obj) {
    PyObject* r = PyObject_Repr(obj);
    const char* c = r != nullptr ? PyUnicode_AsUTF8(r) : nullptr;
    if (c != nullptr) {
        text += c;
    } else {
        PyErr_Clear();
        text += "<repr raised Error>";
    }
    Py_XDECREF(r);
}

// The binding's refusal of arguments it cannot take, in its words, for the
// arguments the binding must not see: None for the instance, which pybind11
// takes as a null pointer and crashes on (ZorMsg.dest.fget(None)), and values
// whose conversion ran Python code here already.
inline PyObject* refuseArguments(const Slot& slot, const Arguments& a) {
    std::string text = slot.name +
                       "(): incompatible function arguments. The following argument types are "
                       "supported:\n    1. " +
                       slot.doc + "\nInvoked with: ";
    for (Py_ssize_t i = 0; i < a.nargs; ++i) {
        if (i != 0) text += ", ";
        appendRepr(text, a.args[i]);
    }
    const Py_ssize_t nkw = a.kwnames != nullptr ? PyTuple_GET_SIZE(a.kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        text += i != 0 ? ", " : a.nargs != 0 ? "; kwargs: " : "kwargs: ";
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(a.kwnames, i));
        if (name == nullptr) return nullptr;
        text += std::string(name) + "=";
        appendRepr(text, a.args[a.nargs + i]);
    }
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return nullptr;
}

// Arguments the fast functions do not take go to the binding, but for None
// as the instance.
inline PyObject* forBinding(const Slot& slot, const Arguments& a) {
    if (a.nargs >= 1 && a.args[0] == Py_None) return refuseArguments(slot, a);
    return callFallback(slot, a);
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

// fget(self). Any other call (no argument, two, keywords) goes to the binding,
// which refuses it in its words.
template <auto Get>
PyObject* getter(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using A = Access<Get>;
    const Slot& slot = slotOf(capsule);
    const Arguments call{args, nargs, kwnames};
    PyObject* self = call.positionalOnly(1) ? args[0] : nullptr;
    auto* obj = self != nullptr ? instanceOf<typename A::Self>(self, slot.self_type) : nullptr;
    if (obj == nullptr) return forBinding(slot, call);
    return guarded([&] {
        decltype(auto) value = A::read(*obj);
        constexpr bool owned = A::policy == py::return_value_policy::reference_internal;
        return toPython(value, slot, A::policy, owned ? self : nullptr);
    });
}

// fset(self, value).
template <auto Set>
PyObject* setter(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    using A = Access<Set>;
    const Slot& slot = slotOf(capsule);
    const Arguments call{args, nargs, kwnames};
    typename A::Self* obj = call.positionalOnly(2) ? instanceOf<typename A::Self>(args[0], slot.self_type) : nullptr;
    if (obj == nullptr) return forBinding(slot, call);
    ArgLoader<typename A::Value> arg;
    const Loaded loaded = arg.load(args[1], slot);
    if (loaded == Loaded::refused) return refuseArguments(slot, call);
    if (loaded == Loaded::binding) return callFallback(slot, call);
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
    // The destructor of the capsule's own kind, which leaves its context free for the tag.
    py::capsule owner(slot.get(), nullptr, [](PyObject* capsule) { delete &slotOf(capsule); });
    if (PyCapsule_SetContext(owner.ptr(), const_cast<char*>(kSlotTag)) != 0) throw py::error_already_set();
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

// Replaces `cls.name`, made by def_property(name, Get, Set),
// def_property_readonly(name, Get) (Set = nullptr) or def_readwrite(name, M)
// (Get = Set = M), by its fast form.
template <auto Get, auto Set = nullptr>
void speedUp(py::handle cls, const char* name) {
    using G = Access<Get>;
    constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;
    py::object old = cls.attr(name);
    py::object fget =
        fastFunction<typename G::Self, typename G::Value>(old.attr("fget"), asCFunction(getter<Get>), kFlags);
    py::object fset = py::none();
    if constexpr (!std::is_same_v<decltype(Set), std::nullptr_t>) {
        using S = Access<Set>;
        fset = fastFunction<typename S::Self, typename S::Value>(old.attr("fset"), asCFunction(setter<Set>), kFlags);
    }
    replaceProperty(cls, name, fget, fset);
}

// The one registration of a property: the binding's (its texts and
// conversions), then the fast form over it. `Set` nullptr makes it read-only.
template <auto Get, auto Set = nullptr, class Class>
void property(Class& cls, const char* name) {
    if constexpr (std::is_same_v<decltype(Set), std::nullptr_t>) {
        cls.def_property_readonly(name, Get);
    } else {
        cls.def_property(name, Get, Set);
    }
    speedUp<Get, Set>(cls, name);
}

// The same for a field of the class, read and written by reference.
template <auto Field, class Class>
void field(Class& cls, const char* name) {
    cls.def_readwrite(name, Field);
    speedUp<Field, Field>(cls, name);
}

}  // namespace fastprop
