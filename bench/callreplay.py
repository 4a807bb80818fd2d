"""The fakes' cost alone: a run's calls on outside objects, recorded once and replayed bare.

Recording: the plain-Python workflow runs with its outside objects (driver, table, clock,
FakeSelect, os, print) replaced by recording proxies. Every operation it performs on one of them,
or on an object they handed back (elements, Series, the row iterator, numpy scalars, os.path),
becomes one step: a method call, an attribute read, an operator (`[]`, `[]=`, `==`, `>`, `-`,
`+`, truth, `iter`, `next`) or a call of the object itself. Arguments that came out of an
earlier step refer to that step; everything else (titles, locators, sleep lengths, paths) is
kept as a constant. What the function does with the plain values it got back (str `in`, int
comparisons, `strip`, slicing and walking a list, reading a row's fields, building the save's
file name) is no step: that is the caller's own work.

Replay: the steps become straight-line Python, one statement per step and nothing else: no row
checks, no title matching, no polling logic, no loop. A step's call is written as the workflow
writes it (`R[0].find_element_by_xpath('//footer/div[last()]')`, `R[6].text`,
`R[1].to_excel('...', index=False)`), so the fakes are entered through the same bytecode and
the same call paths as from plain Python. Step results live in a list of registers, reused once
a value has had its last use, so objects die about when they died in the recorded run. The code
is compiled before timing, in chunks of a few thousand statements.

The straight line costs something of its own: loading the register and the constants, storing
the result, and the entry into each callee. The no-op replay measures that: the same code
against a target whose every method, attribute, operator and call is a Python function that
returns at once (and whose look-ups return a list of no-op targets, so that `R[8] = R[6][1]`
indexes a list as in the real replay).

    fakes alone = replay - no-op replay

Limits:
- The entry into a callee (binding its arguments, pushing its frame, returning) counts as the
  caller's, because the no-op pays it too. For the few C callees (print, os functions, numpy's
  operators, the row iterator's next) the Python no-op's entry costs a little more than theirs,
  so their share is slightly under-counted.
- Straight-line code runs each statement once, so the interpreter never specialises it (3.11
  specialises code that runs often); the workflow's own loop is specialised. The no-op replay is
  unspecialised in the same way, so this cancels in the difference, as do the cache misses of
  reading a long stretch of bytecode. What does not cancel exactly: the rows' `for` takes the
  next row inside the loop instruction, the replay through `next()`.
- The call list is the plain-Python function's. The module makes the same page, table, clock and
  save calls (the benchmark's trace check shows their results are the same), plus a few of its
  own that plain Python does without (it reads the origin from os.environ for every page address,
  imports os on every save, asks hasattr before every look-up): those count as the module's own.
- Before a timed run, the benchmark freezes everything made so far out of the collector's scans
  (gc.freeze), in every configuration, so that the program's size (or anything else a process
  happens to hold) does not change what a collection during the run costs.
"""

import operator

METHOD, METHOD_KW, APPLY, CALL = range(4)  # t.name(*a); the same with keywords; f(t, *a); t(*a)
ROOTS = ("driver", "df", "clock", "FakeSelect", "os", "print")
PLAIN = (str, int, float, bool, type(None), bytes)
OPERATORS = {operator.eq: "==", operator.ne: "!=", operator.lt: "<", operator.le: "<=",
             operator.gt: ">", operator.ge: ">=", operator.add: "+", operator.sub: "-"}
CHUNK = 3000  # statements per compiled function


def plain(value):
    if isinstance(value, PLAIN):
        return True
    if isinstance(value, (tuple, list)):
        return all(plain(item) for item in value)
    return False


class Recorder:
    def __init__(self):
        # (kind, what, target id, constants, refs ((position, id), ...), out id, raised)
        self.steps = []
        self.lists = {}  # out id of a list -> the method name that returned it
        self.ids = 0

    def new_id(self):
        self.ids += 1
        return self.ids - 1

    def roots(self, **objects):
        """Proxies for the root objects, in ROOTS order: ids 0..len(ROOTS) - 1."""
        assert self.ids == 0 and tuple(objects) == ROOTS
        return [Proxy(self, self.new_id(), value) for value in objects.values()]

    def unwrap(self, args):
        """The real arguments, the constants (None where a ref goes) and the refs."""
        real, refs = [], []
        for position, arg in enumerate(args):
            if isinstance(arg, Proxy):
                refs.append((position, arg._p_ref()))
                real.append(arg._p_obj)
            elif isinstance(arg, tuple) and not plain(arg):
                # print(("max_times:", numpy value)): the numpy value goes in as a constant
                value = tuple(item._p_obj if isinstance(item, Proxy) else item for item in arg)
                assert all(plain(v) or type(v).__module__ == "numpy" for v in value), value
                real.append(value)
            else:
                assert plain(arg), f"unexpected argument {arg!r}"
                real.append(arg)
        constants = list(real)
        for position, _ in refs:
            constants[position] = None
        return real, tuple(constants), tuple(refs)

    def step(self, kind, what, target, args, kwargs=None):
        real, constants, refs = self.unwrap(args)
        obj, target_id = target._p_obj, target._p_ref()
        assert not kwargs or kind == METHOD, "keywords only on method calls"
        assert all(plain(v) for v in (kwargs or {}).values())
        if kwargs:
            kind, what = METHOD_KW, (what, kwargs)
        try:
            if kind == METHOD:
                result = getattr(obj, what)(*real)
            elif kind == METHOD_KW:
                result = getattr(obj, what[0])(*real, **what[1])
            elif kind == APPLY:
                result = what(obj, *real)
            else:
                result = obj(*real)
        except BaseException:
            self.steps.append((kind, what, target_id, constants, refs, None, True))
            raise
        out, wrapped = None, result
        if plain(result):
            pass
        elif isinstance(result, list):  # a look-up's elements: each becomes a step when first used
            out = self.new_id()
            assert kind == METHOD, "lists only from method calls"
            self.lists[out] = what
            wrapped = [Proxy(self, None, item, (out, i)) if not plain(item) else item
                       for i, item in enumerate(result)]
        else:
            out = self.new_id()
            wrapped = Proxy(self, out, result)
        self.steps.append((kind, what, target_id, constants, refs, out, False))
        return wrapped


class Proxy:
    __slots__ = ("_p_rec", "_p_id", "_p_obj", "_p_from")

    def __init__(self, recorder, ident, obj, origin=None):
        object.__setattr__(self, "_p_rec", recorder)
        object.__setattr__(self, "_p_id", ident)
        object.__setattr__(self, "_p_obj", obj)
        object.__setattr__(self, "_p_from", origin)

    def _p_ref(self):
        if self._p_id is None:  # an item of a recorded list, used for the first time
            rec, (list_id, index) = self._p_rec, self._p_from
            ident = rec.new_id()
            rec.steps.append((APPLY, operator.getitem, list_id, (index,), (), ident, False))
            object.__setattr__(self, "_p_id", ident)
        return self._p_id

    def __getattr__(self, name):
        value = getattr(self._p_obj, name)
        if callable(value) and hasattr(value, "__self__") or isinstance(value, type(plain)):
            return BoundStep(self, name)  # a method: a step when it is called
        return self._p_rec.step(APPLY, getattr, self, (name,))

    def __call__(self, *args, **kwargs):
        return self._p_rec.step(CALL, None, self, args, kwargs or None)

    def __iter__(self):
        return self._p_rec.step(APPLY, iter, self, ())

    def __next__(self):
        return self._p_rec.step(APPLY, next, self, ())

    def __bool__(self):
        return self._p_rec.step(APPLY, operator.truth, self, ())

    def __len__(self):
        return self._p_rec.step(APPLY, len, self, ())

    def __getitem__(self, key):
        return self._p_rec.step(APPLY, operator.getitem, self, (key,))

    def __setitem__(self, key, value):
        return self._p_rec.step(APPLY, operator.setitem, self, (key, value))

    def __repr__(self):
        return f"<recorded {self._p_obj!r}>"


def _operator(function):
    return lambda self, other: self._p_rec.step(APPLY, function, self, (other,))


for _function in OPERATORS:
    setattr(Proxy, f"__{_function.__name__}__", _operator(_function))


class BoundStep:
    __slots__ = ("target", "name")

    def __init__(self, target, name):
        self.target, self.name = target, name

    def __call__(self, *args, **kwargs):
        return self.target._p_rec.step(METHOD, self.name, self.target, args, kwargs or None)


# --- the replay program -----------------------------------------------------------------------

def program(recorder):
    """The replay program: {"chunks": sources of functions f(R, K), "constants": K, "registers":
    how many, "names": what the no-op target must answer}. A register is free for reuse once its
    value has had its last use."""
    steps = recorder.steps
    last = {}
    for n, (_, _, target, _, refs, _, _) in enumerate(steps):
        last[target] = n
        for _, ident in refs:
            last[ident] = n
    where = {i: i for i in range(len(ROOTS))}  # the roots keep their registers
    free, count, lines, constants, names = [], len(ROOTS), [], [], {}

    def literal(value):
        if plain(value) and eval(repr(value)) == value:  # noqa: S307 (our own constants)
            return repr(value)
        constants.append(value)
        return f"K[{len(constants) - 1}]"

    for n, (kind, what, target, consts, refs, out, raised) in enumerate(steps):
        t = f"R[{where[target]}]"
        args = [literal(c) for c in consts]
        for position, ident in refs:
            args[position] = f"R[{where[ident]}]"
        for ident in {target, *(i for _, i in refs)}:
            if last[ident] == n and ident >= len(ROOTS):
                free.append(where.pop(ident))
        if kind == METHOD:
            if out in recorder.lists or what not in names:
                names[what] = "list" if out in recorder.lists else "method"
            expression = f"{t}.{what}({', '.join(args)})"
        elif kind == METHOD_KW:
            names[what[0]] = "method_kw"
            keywords = [f"{k}={literal(v)}" for k, v in what[1].items()]
            expression = f"{t}.{what[0]}({', '.join(args + keywords)})"
        elif kind == CALL:
            expression = f"{t}({', '.join(args)})"
        elif what is getattr:
            names.setdefault(consts[0], "attribute")
            expression = f"{t}.{consts[0]}"
        elif what is operator.getitem:
            expression = f"{t}[{args[0]}]"
        elif what is operator.setitem:
            expression = None
            statement = f"{t}[{args[0]}] = {args[1]}"
        elif what in OPERATORS:
            expression = f"{t} {OPERATORS[what]} {args[0]}"
        elif what is operator.truth:
            assert out is None
            expression, statement = None, f"if {t}: pass"
        elif what in (iter, next, len):
            expression = f"{what.__name__}({t})"
        else:
            raise ValueError(f"no statement for step {what!r}")
        if expression is not None:
            statement = expression
            if out is not None and out in last:
                if free:
                    reg = free.pop()
                else:
                    reg, count = count, count + 1
                where[out] = reg
                statement = f"R[{reg}] = {expression}"
        if raised:  # the recorded run saw this fail (the row iterator's end): so will the replay
            statement = f"try:\n        {statement}\n    except Exception:\n        pass"
        lines.append("    " + statement)
    chunks = ["def chunk(R, K):\n" + "\n".join(lines[i:i + CHUNK]) + "\n"
              for i in range(0, len(lines), CHUNK)]
    return {"chunks": chunks, "constants": constants, "registers": count, "names": names,
            "steps": len(steps)}


def compile_program(built):
    """The program's chunk functions, compiled."""
    functions = []
    for n, source in enumerate(built["chunks"]):
        namespace = {}
        exec(compile(source, f"<replay chunk {n}>", "exec"), namespace)  # noqa: S102
        functions.append(namespace["chunk"])
    return functions


def replay(functions, registers, constants):
    """Runs the compiled steps against the objects in `registers` (the roots first)."""
    for function in functions:
        function(registers, constants)


class Nop:
    """Stands in for every target in the no-op replay. Its methods take the arguments the steps
    give them as plain parameters with defaults, as the fakes' do: no *args tuple or **kwargs
    dict to build, which the real callees do not pay either."""

    def __call__(self, a=None, b=None):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self

    def __bool__(self):
        return False

    def __len__(self):
        return 0

    def __getitem__(self, key):
        return self

    def __setitem__(self, key, value):
        pass


def _nop_binary(self, other):
    return self


for _function in OPERATORS:
    setattr(Nop, f"__{_function.__name__}__", _nop_binary)


def nop_target(names):
    """One Nop that answers every method and attribute name of a program."""
    target = Nop.__new__(type("NopTarget", (Nop,), {}))
    items = [target] * 64  # what a look-up returns: a list to index, as the real one

    def method(self, a=None, b=None, c=None):
        return self

    def method_kw(self, a=None, b=None, c=None, **kwargs):
        return self

    def look_up(self, a=None, b=None):
        return items

    def attribute(self):
        return self

    kinds = {"method": method, "method_kw": method_kw, "list": look_up,
             "attribute": property(attribute)}
    for name, role in names.items():
        setattr(type(target), name, kinds[role])
    return target
