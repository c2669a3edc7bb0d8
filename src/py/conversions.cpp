// Conversions of arguments to native values.
#include "conversions.hpp"

#include "memory_budget.hpp"

namespace py {

namespace {

constexpr const char* out_of_range = "out of range integral type conversion attempted";

// An int (or subclass) as a C long; anything else goes through __index__ first.
Result<long> as_long(PyObject* object) {
    if (PyLong_Check(object)) {
        const long v = PyLong_AsLong(object);
        if (v == -1 && PyErr_Occurred()) return CallError::fetch();
        return v;
    }
    Owned index(exit_safe([object] { return PyNumber_Index(object); }));
    if (index.get() == nullptr) return CallError::fetch();
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return CallError::fetch();
    return v;
}

}  // namespace

bool is_str(PyObject* object) { return PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS; }

CallError not_a_str(PyObject* object) {
    return CallError::conversion(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

Result<Text> copy_text(PyObject* object) {
    Owned bytes(PyUnicode_AsUTF8String(object));
    if (bytes.get() == nullptr) return CallError::fetch();
    const std::string_view encoded(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
    return Text(encoded, std::move(bytes));
}

Result<std::int32_t> convert_int32(PyObject* object) {
    auto v = as_long(object);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < INT32_MIN || v.value() > INT32_MAX) return CallError::overflow_error(out_of_range);
    return static_cast<std::int32_t>(v.value());
}

Result<std::uint32_t> convert_uint32(PyObject* object) {
    auto v = as_long(object);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < 0 || v.value() > static_cast<long>(UINT32_MAX)) return CallError::overflow_error(out_of_range);
    return static_cast<std::uint32_t>(v.value());
}

Result<std::uint64_t> convert_size(PyObject* object) {
    Owned index(PyLong_Check(object) ? (Py_INCREF(object), object)
                                     : exit_safe([object] { return PyNumber_Index(object); }));
    if (index.get() == nullptr) return CallError::fetch();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return CallError::fetch();
    return static_cast<std::uint64_t>(v);
}

Result<std::optional<double>> convert_optional_float(PyObject* object) {
    if (object == Py_None) return std::optional<double>();
    auto v = convert_float(object);
    if (!v.ok()) return std::move(v.error());
    return std::optional<double>(v.value());
}

Result<std::vector<double>> convert_float_sequence(PyObject* object) {
    if (is_str(object)) return CallError::type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return CallError::conversion(object, sequence_class());
    Py_ssize_t hint = exit_safe([object] { return PyObject_Size(object); });
    if (hint < 0) {
        exit_safe([] { PyErr_Clear(); });  // the exception of a __len__ holds that call's frame
        hint = 0;
    }
    // A sequence whose values alone would not fit in memory is refused before anything is read,
    // rather than growing the array until the machine swaps.
    ElementBudget budget(sizeof(double));
    if (!budget.admits(static_cast<std::uint64_t>(hint))) return CallError::memory_error();
    std::vector<double> values;
    // The length is only a hint; reserving is capped so a sequence that overstates it costs little.
    constexpr Py_ssize_t reserve_cap = Py_ssize_t{1} << 24;
    values.reserve(static_cast<std::size_t>(hint < reserve_cap ? hint : reserve_cap));
    Owned iterator(exit_safe([object] { return PyObject_GetIter(object); }));
    if (iterator.get() == nullptr) return CallError::fetch();
    while (true) {
        Owned item(exit_safe([&iterator] { return PyIter_Next(iterator.get()); }));
        if (item.get() == nullptr) {
            if (PyErr_Occurred()) return CallError::fetch();
            break;
        }
        auto v = convert_float(item.get());
        if (!v.ok()) return std::move(v.error());
        if (!budget.admits(values.size() + 1)) return CallError::memory_error();
        values.push_back(v.value());
    }
    return values;
}

}  // namespace py
