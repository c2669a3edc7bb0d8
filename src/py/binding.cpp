// Binding arguments to parameters, with the interpreter's messages for the ways it fails, and the text
// signatures derived from the declarations.
#include "binding.hpp"

#include <vector>

namespace py {

namespace {

std::string function_label(const Signature& s) { return std::string(s.function) + "()"; }

}  // namespace

CallError too_many_positional(const Signature& s, std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    std::string message = function_label(s) + " takes ";
    if (s.required < s.count)
        message += "from " + std::to_string(s.required) + " to " + std::to_string(s.count);
    else
        message += std::to_string(s.count);
    message += " positional arguments but " + std::to_string(given) + " " + verb + " given";
    return CallError::type_error(std::move(message));
}

CallError missing_arguments(const Signature& s, const Slots& slots, std::size_t given) {
    std::vector<std::string_view> names;
    for (std::size_t i = given; i < s.required; ++i)
        if (slots[i] == nullptr) names.push_back(s.names[i]);
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) list += " and ";
            else if (i + 1 == names.size()) list += ", and ";
            else list += ", ";
        }
        list += "'";
        list.append(names[i]);
        list += "'";
    }
    return CallError::type_error(function_label(s) + " missing " + std::to_string(names.size()) +
                                 " required positional " + (names.size() == 1 ? "argument" : "arguments") + ": " +
                                 list);
}

Result<bool> bind_keywords(const Signature& s, PyObject* kwargs, Slots& slots) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        // The interpreter interns the keyword names of a call, so identity settles the usual case; a key
        // made at run time, or a str subclass, is compared by its characters.
        std::size_t match = s.count;
        if (s.interned != nullptr) {
            for (std::size_t i = 0; i < s.count; ++i) {
                if (s.interned[i] == key) {
                    match = i;
                    break;
                }
            }
        }
        if (match == s.count && PyUnicode_Check(key)) {
            for (std::size_t i = 0; i < s.count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, s.names[i].data()) == 0) {
                    match = i;
                    break;
                }
            }
        }
        if (match == s.count) {
            std::string shown;
            if (PyObject* text = exit_safe([key] { return PyObject_Str(key); })) {
                shown = utf8_of(text);
                Py_DECREF(text);
            } else {
                return CallError::fetch();
            }
            return CallError::type_error(function_label(s) + " got an unexpected keyword argument '" + shown + "'");
        }
        if (slots[match] != nullptr) {
            return CallError::type_error(function_label(s) + " got multiple values for argument '" +
                                         std::string(s.names[match]) + "'");
        }
        slots[match] = value;
    }
    return true;
}

std::string Binding::text_signature() const {
    if (!raw_signature.empty()) return std::string(name) + std::string(raw_signature);
    std::string out(name);
    out += "(";
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out += ", ";
        out.append(names[i]);
        if (!literals[i].empty()) {
            out += "=";
            out.append(literals[i]);
        }
    }
    out += ")";
    return out;
}

std::string Binding::docstring() const {
    std::string out = text_signature();
    out += "\n--\n\n";
    out.append(doc);
    return out;
}

}  // namespace py
