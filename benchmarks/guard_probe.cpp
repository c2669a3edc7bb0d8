// The float-environment guard's cost on whole calls: functions declared and bound exactly as the core's
// are (the same frame: argument binding, conversions, the logic, the result object), instantiated twice
// from one template, with the guard and with a stand-in that does nothing, as in a build without it.
// `measure` times each pair natively, interleaved, calling the entries the interpreter would call with
// a prepared argument tuple; only the interpreter's own dispatch around the call is left out.
//
// Built like the core (benchmarks/bench_float_environment.py builds and loads it).
#include <chrono>
#include <cstdint>
#include <optional>
#include <tuple>

#include "exact/oracles.hpp"
#include "exact/unary_f32.hpp"
#include "float/ordered.hpp"
#include "py/dtype.hpp"
#include "py/frame.hpp"
#include "py/parse_op.hpp"

namespace {

using namespace py;

// Leaves the caller's float environment as it is.
struct CallersEnvironment {};

constexpr Function next_up_declaration{"next_up", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}}, ""};

constexpr auto next_up_logic = [](double x, Text dtype) {
    return with_format(dtype, [&](auto format) {
        using F = typename decltype(format)::type;
        return static_cast<double>(fp::next_up(static_cast<F>(x)));
    });
};

constexpr Function midpoint_declaration{
    "midpoint",
    Params{Arg<Op>{"op"}, Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::optional<double>>{"y", "None"}},
    ""};

using Report = std::optional<std::tuple<double, double, bool, bool>>;

// The unary binary32 reports, as the core's midpoint gives them.
constexpr auto midpoint_logic = [](Text op, double x, Text dtype, std::optional<double>) -> Result<Report> {
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    const auto r = f32.value() ? exact::unary_midpoint_f32(parsed.value(), fp::narrow(x)) : exact::sqrt_midpoint(x);
    if (!r) return Report{};
    return Report{std::make_tuple(r->rounded, r->distance_ulp, r->exact_above, r->exact)};
};

using Entry = PyObject* (*)(PyObject*, PyObject*, PyObject*);

struct Case {
    const char* name;
    Entry without;
    Entry with;
    PyObject* (*make_args)();
    double best_without = 1e300, best_with = 1e300;
};

double nanoseconds_per_call(Entry call, PyObject* args, std::uint64_t calls) {
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) Py_XDECREF(call(nullptr, args, nullptr));
    const auto stop = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(calls);
}

// measure(calls, rounds) -> [(call, ns without the guard, ns with it)], the best of the rounds each.
PyObject* measure(PyObject*, PyObject* args) {
    unsigned long long calls = 0;
    int rounds = 0;
    if (!PyArg_ParseTuple(args, "Ki", &calls, &rounds)) return nullptr;
    Case cases[] = {
        {"next_up(1.0)", &detail::entry<next_up_declaration, decltype(next_up_logic), CallersEnvironment>,
         &detail::entry<next_up_declaration, decltype(next_up_logic)>, [] { return Py_BuildValue("(d)", 1.0); }},
        {"midpoint('sqrt', 2.0)", &detail::entry<midpoint_declaration, decltype(midpoint_logic), CallersEnvironment>,
         &detail::entry<midpoint_declaration, decltype(midpoint_logic)>,
         [] {
             // The literal interned, as in a call written in Python source.
             PyObject* op = PyUnicode_InternFromString("sqrt");
             PyObject* args = op == nullptr ? nullptr : Py_BuildValue("(Od)", op, 2.0);
             Py_XDECREF(op);
             return args;
         }},
    };
    for (int round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            PyObject* call_args = c.make_args();
            if (call_args == nullptr) return nullptr;
            // Alternating which goes first cancels any advantage of the first or second place.
            double without, with;
            if (round % 2 == 0) {
                without = nanoseconds_per_call(c.without, call_args, calls);
                with = nanoseconds_per_call(c.with, call_args, calls);
            } else {
                with = nanoseconds_per_call(c.with, call_args, calls);
                without = nanoseconds_per_call(c.without, call_args, calls);
            }
            Py_DECREF(call_args);
            if (PyErr_Occurred()) return nullptr;
            if (without < c.best_without) c.best_without = without;
            if (with < c.best_with) c.best_with = with;
        }
    }
    PyObject* rows = PyList_New(0);
    for (const Case& c : cases) {
        PyObject* row = Py_BuildValue("(sdd)", c.name, c.best_without, c.best_with);
        if (row == nullptr || PyList_Append(rows, row) != 0) {
            Py_XDECREF(row);
            Py_DECREF(rows);
            return nullptr;
        }
        Py_DECREF(row);
    }
    return rows;
}

PyMethodDef methods[] = {
    {"measure", measure, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "guard_probe", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_guard_probe(void) { return PyModule_Create(&definition); }
