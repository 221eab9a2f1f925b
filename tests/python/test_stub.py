"""The type stub beside the module describes what the module really offers."""
import ast
import inspect
import os
import subprocess
import sys

import pytest

from conftest import ROOT

STUB = os.path.join(ROOT, "Vextaro", "simpleImage_ext.pyi")
with open(STUB, encoding="utf-8") as f:
    TREE = ast.parse(f.read())
CLASS = next(node for node in TREE.body if isinstance(node, ast.ClassDef) and node.name == "SimpleImage")
MODULE_FUNCTIONS = ["_readChunk", "_makeChunk", "_writePng", "_split_idat_payload", "_writePngWithChunks", "_writeBmp"]
METHODS = ["_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp", "__reduce__", "__setstate__"]
NO_DEFAULT = inspect.Parameter.empty


def defined(body):
    """Names a block of the stub binds: definitions, annotated or plain assignments, `import x as x`."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname, node) for a in node.names if a.asname == a.name.split(".")[-1])
    return names


STUB_NAMES = defined(TREE.body)
CLASS_NAMES = defined(CLASS.body)


def stub_parameters(fn):
    """(name, default, keyword-only) of every parameter of a stub function; defaults must be literals."""
    a = fn.args
    # The module has positional-or-keyword and keyword-only parameters; so must the stub.
    assert not (a.posonlyargs or a.vararg or a.kwarg), fn.name
    positional = zip([p.arg for p in a.args], [NO_DEFAULT] * (len(a.args) - len(a.defaults))
                     + [ast.literal_eval(d) for d in a.defaults], [False] * len(a.args))
    keyword_only = zip([p.arg for p in a.kwonlyargs], [NO_DEFAULT if d is None else ast.literal_eval(d)
                                                       for d in a.kw_defaults], [True] * len(a.kwonlyargs))
    return [*positional, *keyword_only]


def runtime_parameters(fn):
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) for p in params)
    return [(p.name, p.default, p.kind is p.KEYWORD_ONLY) for p in params]


def decorators(fn):
    return {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}


def test_every_module_name_is_in_the_stub(m):
    runtime = {name for name in vars(m) if not name.startswith("__")}
    assert runtime - set(STUB_NAMES) == set()
    # Names only the stub has are its own private helper types.
    assert all(name.startswith("_") and not isinstance(STUB_NAMES[name], ast.FunctionDef)
               for name in set(STUB_NAMES) - runtime)


def test_class_members_match(SI):
    runtime = {name for name in vars(SI) if not (name.startswith("__") and name.endswith("__"))}
    stub = {name for name in CLASS_NAMES if not (name.startswith("__") and name.endswith("__"))}
    assert stub == runtime
    assert {"__reduce__", "__setstate__"} <= set(CLASS_NAMES)


@pytest.mark.parametrize("name", MODULE_FUNCTIONS)
def test_module_function_signature(m, name):
    stub = STUB_NAMES[name]
    assert isinstance(stub, ast.FunctionDef) and not decorators(stub)
    assert stub_parameters(stub) == runtime_parameters(getattr(m, name))


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_kind(SI, name):
    stub, member = CLASS_NAMES[name], vars(SI)[name]
    wrapper = {staticmethod: "staticmethod", classmethod: "classmethod"}.get(type(member))
    assert decorators(stub) == ({wrapper} if wrapper else set())
    # The receiver (self or cls) is part of both lists; a static method has none.
    assert stub_parameters(stub) == runtime_parameters(getattr(member, "__func__", member))


@pytest.mark.parametrize("name", MODULE_FUNCTIONS + METHODS)
def test_stub_types_are_the_module_annotations(m, SI, name):
    """Where the module carries an annotation text, the stub writes exactly that type."""
    on_module = name in MODULE_FUNCTIONS
    fn, stub = (getattr(m, name), STUB_NAMES[name]) if on_module else (vars(SI)[name], CLASS_NAMES[name])
    texts = {p.arg: ast.unparse(p.annotation) for p in stub.args.args + stub.args.kwonlyargs if p.annotation}
    returns = ast.unparse(stub.returns)
    # Self, the class a method is called on, is what the module's text names as the class.
    texts["return"] = "SimpleImage" if returns == "Self" and not on_module else returns
    for key, text in getattr(fn, "__func__", fn).__annotations__.items():
        assert texts[key] == text, key


def test_constructor_parameters(SI):
    """The constructor has no text signature: calls by the stub's names and order show them."""
    params = [p[:2] for p in stub_parameters(CLASS_NAMES["__new__"])[1:]]
    values = [2, 1, b"\1\2\3\4\5\6", b"\7\10", [(b"IEND", b"", 0)], {"xppm": 1}, b"\4"]
    fields = ["width", "height", "_pixels", "_alpha", "_png_chunks", "_bmp_header", "_png_filters"]
    assert len(params) == len(values)
    for image in (SI(*values), SI(**{name: value for (name, _), value in zip(params, values)})):
        assert [getattr(image, field) for field in fields] == values
    image = SI(**{name: value for (name, default), value in zip(params, values) if default is NO_DEFAULT})
    expected = [value if default is NO_DEFAULT else default for (_, default), value in zip(params, values)]
    assert [getattr(image, field) for field in fields] == expected


def run_mypy(tmp_path, *args):
    pytest.importorskip("mypy.stubtest")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"), PYTHONPATH=ROOT)
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True, text=True,
                          timeout=300)


def test_stubtest(tmp_path):
    done = run_mypy(tmp_path, "mypy.stubtest", "Vextaro.simpleImage_ext",
                    "--allowlist", os.path.join(ROOT, "tests", "python", "stubtest_allowlist.txt"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_type_check_against_the_stub(tmp_path):
    examples = [os.path.join("examples", name) for name in
                ("invert.py", "frame.py", "inspect_png.py", "pillow_bridge.py", "numpy_bridge.py",
                 "smaller_png.py", "quiet_reports.py")]
    # The package's own Python too: the vextaro command and what it runs.
    examples += sorted(os.path.join("Vextaro", name) for name in os.listdir(os.path.join(ROOT, "Vextaro"))
                       if name.endswith(".py"))
    pytest.importorskip("PIL")
    pytest.importorskip("numpy")
    done = run_mypy(tmp_path, "mypy", "--strict", *examples)
    assert done.returncode == 0, done.stdout + done.stderr
