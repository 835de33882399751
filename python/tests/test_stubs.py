"""The type stubs say what the module does: the same calls, arguments and
defaults, the same exception bases, and a checker that finds them."""

import ast
import inspect
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import corvantine

HERE = Path(__file__).parent
STUBS = HERE.parent / "stubs" / "corvantine-stubs" / "__init__.pyi"
# What the type has without declaring it, and what stubs leave to `object`.
UNDECLARED = {"__new__", "__doc__", "__module__", "__repr__", "__weakref__"}


def stub_tree():
    return ast.parse(STUBS.read_text())


def stub_parameters(function):
    """(name, kind, default) of each parameter but self, as inspect names them."""
    args = function.args
    plain = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(plain) - len(args.defaults)) + args.defaults
    rows = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(plain, defaults)]
    rows += [(a.arg, "KEYWORD_ONLY", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return [(name, kind, default if default is inspect.Parameter.empty else
             ast.literal_eval(default)) for name, kind, default in rows if name != "self"]


def module_parameters(function):
    return [(p.name, p.kind.name if p.kind != p.POSITIONAL_ONLY else "POSITIONAL_OR_KEYWORD",
             p.default) for p in inspect.signature(function).parameters.values()
            if p.name != "self"]


def functions(body):
    return {node.name: node for node in body if isinstance(node, ast.FunctionDef)}


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def test_every_function_and_method_has_the_modules_arguments_and_defaults():
    declared = functions(stub_tree().body)
    module_functions = {n for n, v in vars(corvantine).items() if inspect.isbuiltin(v)}
    assert set(declared) == module_functions
    pairs = [(getattr(corvantine, n), f) for n, f in declared.items()]
    for name, node in stub_classes().items():
        cls = getattr(corvantine, name, None)
        if not isinstance(cls, type) or issubclass(cls, BaseException):
            continue
        methods = functions(node.body)
        assert set(methods) == set(vars(cls)) - UNDECLARED, name
        pairs += [(getattr(cls, n), f) for n, f in methods.items()]
    for function, node in pairs:
        assert stub_parameters(node) == module_parameters(function), node.name


def test_every_exception_class_has_the_modules_base():
    classes = stub_classes()
    exceptions = [(name, cls) for name, cls in vars(corvantine).items()
                  if isinstance(cls, type) and issubclass(cls, BaseException)]
    assert len(exceptions) == 12
    for name, cls in exceptions:
        assert [base.id for base in classes[name].bases] == [cls.__bases__[0].__name__], name


def installed_stubs():
    return (Path(corvantine.__file__).parent / "corvantine-stubs" / "__init__.pyi").is_file()


@pytest.mark.skipif(not shutil.which("mypy") or not installed_stubs(),
                    reason="needs mypy and the module installed with its stubs")
@pytest.mark.parametrize("program, passes", [
    ((HERE / "type_samples" / "every_call.py").read_text(), True),
    ('import corvantine\ncorvantine.open("db").append(1, 2)\n', False),
])
def test_mypy_strict_finds_the_installed_stubs_and_checks_calls(tmp_path, program, passes):
    source = tmp_path / "program.py"
    source.write_text(program)
    checked = subprocess.run(
        ["mypy", "--strict", "--no-incremental", "--python-executable", sys.executable,
         str(source)], cwd=tmp_path, capture_output=True, text=True)
    assert (checked.returncode == 0) == passes, checked.stdout
