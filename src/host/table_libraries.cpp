#include <Python.h>

#include "host/table_libraries.h"

#include <utility>
#include <vector>

#include "host/module.h"
#include "host/py_ref.h"

namespace tolvar::host {
namespace {

// The packages by extra, with the message a missing one raises.
constexpr const char* kNeedNumpy = "numpy is not installed: pip install python_can_tolvar_mf4[numpy]";
constexpr const char* kNeedPandas = "pandas is not installed: pip install python_can_tolvar_mf4[pandas]";
constexpr const char* kNeedArrow = "pyarrow is not installed: pip install python_can_tolvar_mf4[arrow]";

// A package, or an empty reference with ImportError `message` when it
// cannot be imported (any other error passes through).
PyRef import_package(const char* name, const char* message) {
    PyRef module(PyImport_ImportModule(name));
    if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, message);
    }
    return module;
}

// The names one package gives the module state: each step's new reference is
// held here, and handed to its slot only once every step has succeeded.
class Loads {
public:
    // Keeps `value` for `slot`; false (and nothing more is kept) once a step
    // failed.
    bool take(PyObject*& slot, PyObject* value) {
        PyRef owned(value);
        if (!ok_ || !owned) {
            ok_ = false;
            return false;
        }
        try {
            pending_.emplace_back(&slot, std::move(owned));
        } catch (...) {
            ok_ = false;
            PyErr_NoMemory();
        }
        return ok_;
    }
    // Hands every value to its slot when all steps succeeded.
    bool commit() {
        if (!ok_) return false;
        for (auto& [slot, value] : pending_) *slot = value.release();
        pending_.clear();
        return true;
    }

private:
    bool ok_ = true;
    std::vector<std::pair<PyObject**, PyRef>> pending_;
};

PyObject* attribute(const PyRef& object, const char* name) { return PyObject_GetAttrString(object.get(), name); }

bool load_numpy() {
    TableLibraries& t = module_state().tables;
    if (t.asarray != nullptr) return true;
    PyRef numpy = import_package("numpy", kNeedNumpy);
    if (!numpy) return false;
    Loads l;
    l.take(t.asarray, attribute(numpy, "asarray"));
    return l.commit();
}

bool load_pyarrow(const char* message) {
    TableLibraries& t = module_state().tables;
    if (t.from_buffers != nullptr) return true;
    PyRef pa = import_package("pyarrow", message);
    if (!pa) return false;
    PyRef array_type(attribute(pa, "Array"));
    PyRef dictionary_type(attribute(pa, "DictionaryArray"));
    PyRef table_type(attribute(pa, "Table"));
    if (!array_type || !dictionary_type || !table_type) return false;
    auto make_type = [&](const char* name) { return PyObject_CallMethod(pa.get(), name, nullptr); };
    Loads l;
    l.take(t.foreign_buffer, attribute(pa, "foreign_buffer")) &&
        l.take(t.dictionary_from_arrays, attribute(dictionary_type, "from_arrays")) &&
        l.take(t.table_from_arrays, attribute(table_type, "from_arrays")) && l.take(t.pa_array, attribute(pa, "array")) &&
        l.take(t.type_float64, make_type("float64")) && l.take(t.type_uint32, make_type("uint32")) &&
        l.take(t.type_bool, make_type("bool_")) && l.take(t.type_uint8, make_type("uint8")) &&
        l.take(t.type_int16, make_type("int16")) &&
        l.take(t.type_int32, make_type("int32")) && l.take(t.type_string, make_type("string")) &&
        l.take(t.type_binary, make_type("binary")) && l.take(t.type_large_binary, make_type("large_binary")) &&
        l.take(t.names, PyUnicode_InternFromString("names")) &&
        l.take(t.from_buffers, attribute(array_type, "from_buffers"));
    return l.commit();
}

bool load_pandas() {
    TableLibraries& t = module_state().tables;
    if (t.data_frame != nullptr) return true;
    PyRef pandas = import_package("pandas", kNeedPandas);
    if (!pandas) return false;
    PyRef categorical(attribute(pandas, "Categorical"));
    PyRef arrays(attribute(pandas, "arrays"));
    if (!categorical || !arrays) return false;
    Loads l;
    l.take(t.from_codes, attribute(categorical, "from_codes")) &&
        l.take(t.arrow_extension, attribute(arrays, "ArrowExtensionArray")) &&
        l.take(t.copy, PyUnicode_InternFromString("copy")) && l.take(t.data_frame, attribute(pandas, "DataFrame"));
    return l.commit();
}

}  // namespace

bool load_libraries(TableKind kind) {
    switch (kind) {
        case TableKind::kNumpy: return load_numpy();
        case TableKind::kPandas: return load_pandas() && load_numpy() && load_pyarrow(kNeedPandas);
        case TableKind::kPandasBytes: return load_pandas() && load_numpy();
        case TableKind::kArrow: return load_pyarrow(kNeedArrow);
    }
    return false;
}

}  // namespace tolvar::host
