"""What one call into a Python-level callee costs its caller, from C and from Python.

Run: .venv/bin/python bench/call_entry.py   (needs valgrind and a C compiler; about 20 seconds)

The workflow's callees are mostly Python code: the fake driver and elements, `Select`, pandas.
Entering one (binding its arguments, pushing its frame, running the interpreter on it, returning)
is paid by whoever calls it, and counts as the caller's own cost in bench/module_cost.py. This
measures that entry alone, against callees that return at once, as the module makes it (a
method called by its interned name with `PyObject_VectorcallMethod`, an attribute read with
`PyObject_GetAttr`, from a loop in a small C helper compiled here) and as plain Python makes it
(`t.m(a)` and `t.p` in a `for` loop, which the interpreter specialises as it does the workflow's
own loops). Instructions are counted by callgrind for the loop alone, at two loop lengths, so
that the per-call figure is the difference over the extra calls: the loop's own steps are in it
(a few instructions in C, a handful of bytecodes in Python).
"""

import ctypes
import json
import os
import subprocess
import sys
import sysconfig
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import instructions  # noqa: E402

CALLER = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* n calls of target.<name>(arg), as the module makes them: by name, no bound method, no tuple */
PyObject* call_method_many(PyObject* target, PyObject* name, Py_ssize_t n, PyObject* arg) {
    PyObject* args[] = {target, arg};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* result = PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                     NULL);
        if (!result) return NULL;
        Py_DECREF(result);
    }
    Py_RETURN_NONE;
}

/* n reads of target.<name> */
PyObject* get_attribute_many(PyObject* target, PyObject* name, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* result = PyObject_GetAttr(target, name);
        if (!result) return NULL;
        Py_DECREF(result);
    }
    Py_RETURN_NONE;
}
"""

SHAPES = ("method from C", "method from Python", "property from C", "property from Python")
LENGTHS = (20_000, 40_000)


class Target:
    """A callee of the fakes' shape: a method with a defaulted parameter, a property."""

    def m(self, a=None):
        return self

    @property
    def p(self):
        return self


def python_method_loop(target, n, arg):
    for _ in range(n):
        target.m(arg)


def python_property_loop(target, n):
    for _ in range(n):
        target.p


def build_caller(folder):
    source, library = os.path.join(folder, "caller.c"), os.path.join(folder, "caller.so")
    with open(source, "w") as handle:
        handle.write(CALLER)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                    "-o", library, source], check=True)
    return library


def child(shape, n, caller_path, region_path):
    caller = ctypes.PyDLL(caller_path)  # PyDLL: the GIL stays held, errors come back as raised
    for function in (caller.call_method_many, caller.get_attribute_many):
        function.restype = ctypes.py_object
    caller.call_method_many.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t,
                                        ctypes.py_object)
    caller.get_attribute_many.argtypes = (ctypes.py_object, ctypes.py_object, ctypes.c_ssize_t)
    target, name_m, name_p, arg = Target(), sys.intern("m"), sys.intern("p"), "x"
    runs = {
        "method from C": lambda k: caller.call_method_many(target, name_m, k, arg),
        "method from Python": lambda k: python_method_loop(target, k, arg),
        "property from C": lambda k: caller.get_attribute_many(target, name_p, k),
        "property from Python": lambda k: python_property_loop(target, k),
    }
    run = runs[shape]
    run(1000)  # warm-up: the interpreter specialises the Python loops here
    region = ctypes.CDLL(region_path)
    region.region_begin()
    run(n)
    region.region_end()
    print(json.dumps({"shape": shape, "n": n}))


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5])
        return
    if not instructions.available():
        raise SystemExit("valgrind is not installed")
    small, large = LENGTHS
    with tempfile.TemporaryDirectory() as folder:
        caller, region = build_caller(folder), instructions.build_helper(folder)
        per_call = {}
        for shape in SHAPES:
            counts = []
            for n in LENGTHS:
                out_file = os.path.join(folder, f"callgrind.{len(counts)}")
                instructions.run([sys.executable, os.path.abspath(__file__), "--child", shape,
                                  str(n), caller, region], out_file)
                counts.append(instructions.read(out_file)["total"])
            per_call[shape] = (counts[1] - counts[0]) / (large - small)
    print(f"instructions per call into a Python callee that returns at once"
          f" (callgrind, {small:,} and {large:,} calls), Python {sys.version.split()[0]}")
    for shape in SHAPES:
        print(f"  {shape:<22} {per_call[shape]:>7,.0f}")
    return per_call


if __name__ == "__main__":
    main()
