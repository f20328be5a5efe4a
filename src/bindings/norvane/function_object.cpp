#include "function_object.hpp"

#include <cstddef>

#include "common/pyref.hpp"

namespace velliq {

namespace {

NorvaneFunction* as_function(PyObject* self) {
    return reinterpret_cast<NorvaneFunction*>(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    NorvaneFunction* fn = as_function(self);
    for (PyObject* name : fn->param_names) {
        Py_VISIT(name);
    }
    Py_VISIT(fn->name);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->codes);
    return 0;
}

int function_clear(PyObject* self) {
    NorvaneFunction* fn = as_function(self);
    for (PyObject*& name : fn->param_names) {
        Py_CLEAR(name);
    }
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->codes);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    NorvaneFunction* fn = as_function(self);
    return PyUnicode_FromFormat("<function %U.%U>", fn->module, fn->name);
}

// Read through a class or an instance, the function stays itself, as a builtin
// function does. Being a descriptor also makes inspect.isroutine() true, which
// is how pydoc finds the functions of a module.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return Py_NewRef(self);
}

PyObject* get_name(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->name);
}
PyObject* get_module(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->module);
}
PyObject* get_doc(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->doc);
}
PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->defaults);
}
PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->globals);
}

Py_ssize_t first_default(const NorvaneFunction* fn) {
    const Py_ssize_t ndefaults = PyTuple_Check(fn->defaults) ? PyTuple_GET_SIZE(fn->defaults) : 0;
    return fn->signature.total - ndefaults;
}

// "(S, K, D, F, sigma, flag)", with "=<repr>" after parameters that have a default.
PyObject* get_text_signature(PyObject* self, void*) {
    NorvaneFunction* fn = as_function(self);
    const Py_ssize_t defaults_from = first_default(fn);
    PyRef text = PyRef::steal(PyUnicode_FromString("("));
    for (int i = 0; text && i < fn->signature.total; ++i) {
        PyRef part;
        if (i >= defaults_from) {
            part = PyRef::steal(
                PyUnicode_FromFormat("%s%U=%R", i ? ", " : "", fn->param_names[i],
                                     PyTuple_GET_ITEM(fn->defaults, i - defaults_from)));
        } else {
            part = PyRef::steal(PyUnicode_FromFormat("%s%U", i ? ", " : "", fn->param_names[i]));
        }
        text = part ? PyRef::steal(PyUnicode_Concat(text.get(), part.get())) : PyRef();
    }
    return text ? PyUnicode_FromFormat("%U)", text.get()) : nullptr;
}

// An inspect.Signature of positional-or-keyword parameters, so that
// inspect.signature() and help() describe the function.
PyObject* get_signature(PyObject* self, void*) {
    NorvaneFunction* fn = as_function(self);
    PyRef inspect = PyRef::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    PyRef parameter = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    PyRef signature = PyRef::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    PyRef kind =
        parameter ? PyRef::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"))
                  : PyRef();
    PyRef params = PyRef::steal(PyList_New(0));
    if (!signature || !kind || !params) {
        return nullptr;
    }
    const Py_ssize_t defaults_from = first_default(fn);
    for (int i = 0; i < fn->signature.total; ++i) {
        PyRef call_args = PyRef::steal(PyTuple_Pack(2, fn->param_names[i], kind.get()));
        PyRef call_kwargs;
        if (i >= defaults_from) {
            call_kwargs = PyRef::steal(Py_BuildValue(
                "{sO}", "default", PyTuple_GET_ITEM(fn->defaults, i - defaults_from)));
            if (!call_kwargs) {
                return nullptr;
            }
        }
        PyRef param =
            call_args
                ? PyRef::steal(PyObject_Call(parameter.get(), call_args.get(), call_kwargs.get()))
                : PyRef();
        if (!param || PyList_Append(params.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    return PyObject_CallOneArg(signature.get(), params.get());
}

// Pickled by reference: the name is looked up in the module on unpickling.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(as_function(self)->name);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject type{};  // every slot not set below stays null
    // The head's initialiser macro ends in a comma, which only an array initialiser takes.
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    type.ob_base = head[0];
    type.tp_name = "velliq.norvane.norvane_function";
    type.tp_basicsize = sizeof(NorvaneFunction);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(NorvaneFunction, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    return type;
}();

}  // namespace

bool ready_function_type() {
    return PyType_Ready(&function_type) == 0;
}

PyObject* new_function(const FunctionDef& def, PyObject* globals, PyObject* module_name,
                       PyObject* defaults) {
    PyRef self =
        PyRef::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(NorvaneFunction, &function_type)));
    if (!self) {
        return nullptr;
    }
    NorvaneFunction* fn = as_function(self.get());
    fn->vectorcall = def.vectorcall;
    fn->signature = {def.name, def.required, def.total, fn->param_names};
    for (PyObject*& name : fn->param_names) {
        name = nullptr;
    }
    fn->name = nullptr;
    fn->doc = nullptr;
    fn->module = Py_NewRef(module_name);
    fn->defaults = Py_NewRef(defaults);
    fn->globals = Py_NewRef(globals);
    fn->codes = nullptr;
    PyObject_GC_Track(self.get());
    if (!(fn->name = PyUnicode_InternFromString(def.name)) ||
        !(fn->doc = PyUnicode_FromString(def.doc)) || !(fn->codes = PyDict_New())) {
        return nullptr;
    }
    for (int i = 0; i < def.total; ++i) {
        if (!(fn->param_names[i] = PyUnicode_InternFromString(def.params[i]))) {
            return nullptr;
        }
    }
    return self.release();
}

}  // namespace velliq
