"""The package's functions over the native core's: a real signature for `inspect` and IDEs, and
array parameters that take any array-like (a list, a tuple, a memoryview), converted once.

The native functions stay as they are; each public one is wrapped here by a thin function that
converts its array-like arguments and calls it.
"""

from __future__ import annotations

import ast
import functools
import inspect
import re
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

from ._docs import sections

F = TypeVar("F", bound=Callable[..., Any])

_DTYPE = re.compile(r"dtype=(\w+)|NDArray\[numpy\.(\w+)\]")


def _split(params: str) -> list[str]:
    """The parameter list split at top-level commas."""
    out, depth, start = [], 0, 0
    for i, c in enumerate(params):
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            out.append(params[start:i].strip())
            start = i + 1
    if params[start:].strip():
        out.append(params[start:].strip())
    return out


def _default(text: str, defaults: tuple[Any, ...] | None) -> Any:
    if text.startswith("\\") and text[1:].isdigit() and defaults is not None:
        return defaults[int(text[1:])]
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError):
        return text


def _parse(fn: Any) -> tuple[inspect.Signature, dict[str, np.dtype[Any] | None]] | None:
    """The signature nanobind records, and the array parameters with their dtypes."""
    records = getattr(fn, "__nb_signature__", None)
    if not records or len(records) != 1:
        return None  # overloads keep the native dispatch
    text, _, defaults = records[0]
    m = re.match(r"def \w+\((.*)\)(?: -> (.*))?$", text, re.S)
    if not m:
        return None
    parameters: list[inspect.Parameter] = []
    arrays: dict[str, np.dtype[Any] | None] = {}
    kind: inspect._ParameterKind = inspect.Parameter.POSITIONAL_OR_KEYWORD
    for part in _split(m.group(1)):
        if part == "*":
            kind = inspect.Parameter.KEYWORD_ONLY
            continue
        if part == "/":
            parameters = [p.replace(kind=inspect.Parameter.POSITIONAL_ONLY) for p in parameters]
            continue
        name, _, rest = part.partition(":")
        annotation, eq, default_text = rest.partition(" = ")
        annotation = annotation.strip()
        if "ndarray" in annotation or "NDArray" in annotation:
            found = _DTYPE.search(annotation)
            dtype = found.group(1) or found.group(2) if found else None
            arrays[name.strip()] = np.dtype(dtype) if dtype else None
        default = _default(default_text.strip(), defaults) if eq else inspect.Parameter.empty
        parameters.append(inspect.Parameter(name.strip(), kind, default=default, annotation=annotation or
                                            inspect.Parameter.empty))
    return inspect.Signature(parameters, return_annotation=m.group(2) or inspect.Signature.empty), arrays


def _as_array(value: Any, dtype: np.dtype[Any] | None) -> Any:
    if value is None or isinstance(value, np.ndarray):
        return value
    try:
        return np.ascontiguousarray(value, dtype=dtype)
    except (TypeError, ValueError):
        return value  # the native call names the parameter and the type it needs


def wrap(fn: F) -> F:
    """`fn` with its signature and array-like conversion (or `fn` itself when it has neither).

    The wrapper is written out with the native function's own parameters (no *args packing), so a
    call costs little more than the native one.
    """
    parsed = _parse(fn)
    if parsed is None:
        return fn
    signature, arrays = parsed
    defaults: list[Any] = []
    head: list[str] = []
    passed: list[str] = []
    star = False
    for p in signature.parameters.values():
        if p.kind is inspect.Parameter.KEYWORD_ONLY and not star:
            head.append("*")
            star = True
        default = ""
        if p.default is not inspect.Parameter.empty:
            defaults.append(p.default)
            default = f"=_defaults[{len(defaults) - 1}]"
        head.append(p.name + default)
        passed.append(f"{p.name}={p.name}" if star else p.name)
    if head and head[-1] == "/":
        head.pop()
    converts = "".join(f"    {n} = _as_array({n}, _dtypes[{n!r}])\n" for n in arrays)
    source = f"def {fn.__name__}({', '.join(head)}):\n{converts}    return _fn({', '.join(passed)})\n"
    namespace: dict[str, Any] = {"_fn": fn, "_defaults": defaults, "_dtypes": arrays, "_as_array": _as_array}
    exec(source, namespace)  # the source is built here from the native signature, nothing else
    call = namespace[fn.__name__]
    functools.update_wrapper(call, fn)
    call.__signature__ = signature
    extra = sections(fn.__name__)
    if extra:
        call.__doc__ = (fn.__doc__ or "").rstrip() + "\n\n" + extra
    return call  # type: ignore[no-any-return]


def wrap_all(namespace: dict[str, Any], names: list[str]) -> None:
    """Wraps every native function among `names` in `namespace`, in place."""
    for name in names:
        value = namespace.get(name)
        if callable(value) and hasattr(value, "__nb_signature__") and not isinstance(value, type):
            namespace[name] = wrap(value)
